"""Flash firmware images to one device or many through the downloader module.

    from downloader_flash import find_devices, flash

    for device in find_devices():
        result = flash("firmware.bin", device, on_progress=lambda done, blocks: ...)
        print(result.port, result.device_sha256, result.run_acknowledged)

`flash_all()` flashes several devices at once and `watch()` runs a station, each telling a
front end of its own through `Callbacks`; the command is one such front end.

The names below are imported on first use, so that the command can start, and be
interrupted, before pyserial, tqdm and the module are loaded.
"""
TYPE_CHECKING = False  # as typing's, which the command would otherwise load before it can take Ctrl-C
if TYPE_CHECKING:  # what a type checker sees: the same names, imported as they are re-exported
    from typing import Any, List

    from .devices import (Device as Device, DeviceKey as DeviceKey, find_devices as find_devices,
                          why_unavailable as why_unavailable)
    from .errors import (EXIT_FAILED as EXIT_FAILED, EXIT_INTERRUPTED as EXIT_INTERRUPTED,
                         EXIT_NOT_ACKNOWLEDGED as EXIT_NOT_ACKNOWLEDGED, EXIT_OK as EXIT_OK, EXIT_USAGE as EXIT_USAGE,
                         BlockRejected as BlockRejected, DeviceSilent as DeviceSilent, Disconnected as Disconnected,
                         FlashError as FlashError, FlashResult as FlashResult, ImageError as ImageError,
                         Interrupted as Interrupted, NoDevice as NoDevice, NoReply as NoReply, PortForbidden as PortForbidden,
                         PortInUse as PortInUse, PortUnavailable as PortUnavailable, SeveralDevices as SeveralDevices,
                         UnknownSerialNumber as UnknownSerialNumber, UsageError as UsageError)
    from .flashing import flash as flash
    from .records import Attempt as Attempt, Origin as Origin, Report as Report, ReportUnwritable as ReportUnwritable
    from .settings import Settings as Settings
    from .station import (Callbacks as Callbacks, Image as Image, Summary as Summary, flash_all as flash_all,
                          watch as watch)

_SOURCES = {
    ".devices": ["Device", "DeviceKey", "find_devices", "why_unavailable"],
    ".errors": [
        "EXIT_FAILED", "EXIT_INTERRUPTED", "EXIT_NOT_ACKNOWLEDGED", "EXIT_OK", "EXIT_USAGE", "BlockRejected",
        "DeviceSilent", "Disconnected", "FlashError", "FlashResult", "ImageError", "Interrupted", "NoDevice", "NoReply",
        "PortForbidden", "PortInUse", "PortUnavailable", "SeveralDevices", "UnknownSerialNumber", "UsageError",
    ],
    ".flashing": ["flash"],
    ".records": ["Attempt", "Origin", "Report", "ReportUnwritable"],
    ".settings": ["Settings"],
    ".station": ["Callbacks", "Image", "Summary", "flash_all", "watch"],
}
_SOURCE_OF = {name: source for source, names in _SOURCES.items() for name in names}

__all__ = sorted(_SOURCE_OF)


def __getattr__(name: str) -> "Any":
    source = _SOURCE_OF.get(name)
    if source is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib  # here, not at the top: the command loads this package before it can take Ctrl-C

    value = getattr(importlib.import_module(source, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> "List[str]":
    return sorted(set(globals()) | set(__all__))
