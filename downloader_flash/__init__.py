"""Flash firmware images to one device or many through the downloader module.

    from downloader_flash import find_devices, flash

    for device in find_devices():
        result = flash("firmware.bin", device, on_progress=lambda done, blocks: ...)
        print(result.port, result.device_sha256, result.run_acknowledged)
"""
from .devices import Device, find_devices, why_unavailable
from .errors import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_NOT_ACKNOWLEDGED, EXIT_OK, EXIT_USAGE, BlockRejected,
                     DeviceSilent, Disconnected, FlashError, FlashResult, ImageError, Interrupted, NoDevice,
                     PortInUse, PortUnavailable, SeveralDevices, UsageError)
from .flashing import flash

__all__ = [
    "EXIT_FAILED", "EXIT_INTERRUPTED", "EXIT_NOT_ACKNOWLEDGED", "EXIT_OK", "EXIT_USAGE", "BlockRejected",
    "Device", "DeviceSilent", "Disconnected", "FlashError", "FlashResult", "ImageError", "Interrupted",
    "NoDevice", "PortInUse", "PortUnavailable", "SeveralDevices", "UsageError", "find_devices", "flash",
    "why_unavailable",
]
