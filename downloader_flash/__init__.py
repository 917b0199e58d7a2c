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

    from .devices import find_devices as find_devices, why_unavailable as why_unavailable
    from .errors import (
        BlockRejected as BlockRejected,
        DeviceSilent as DeviceSilent,
        Disconnected as Disconnected,
        FlashError as FlashError,
        ImageError as ImageError,
        Interrupted as Interrupted,
        NoDevice as NoDevice,
        NoReply as NoReply,
        PortForbidden as PortForbidden,
        PortInUse as PortInUse,
        PortUnavailable as PortUnavailable,
        SeveralDevices as SeveralDevices,
        UnknownSerialNumber as UnknownSerialNumber,
        UsageError as UsageError,
    )
    from .flashing import flash as flash
    from .model import (
        Attempt as Attempt,
        Board as Board,
        BoardData as BoardData,
        Callbacks as Callbacks,
        Device as Device,
        DeviceKey as DeviceKey,
        FlashResult as FlashResult,
        Image as Image,
        Issued as Issued,
        Origin as Origin,
        Summary as Summary,
    )
    from .records import Report as Report, ReportUnwritable as ReportUnwritable
    from .run import flash_all as flash_all
    from .settings import Settings as Settings
    from .station import watch as watch

    # Made at run time from outcomes.OUTCOMES (outcomes.EXIT_NAMES); a test holds the two together.
    EXIT_OK: int
    EXIT_FAILED: int
    EXIT_USAGE: int
    EXIT_NOT_ACKNOWLEDGED: int
    EXIT_REPORT_UNWRITABLE: int
    EXIT_OUT_OF_SERIAL_NUMBERS: int
    EXIT_INTERRUPTED: int

_SOURCES = {
    ".devices": ["find_devices", "why_unavailable"],
    ".errors": [
        "BlockRejected", "DeviceSilent", "Disconnected", "FlashError", "ImageError", "Interrupted", "NoDevice", "NoReply",
        "PortForbidden", "PortInUse", "PortUnavailable", "SeveralDevices", "UnknownSerialNumber", "UsageError",
    ],
    ".flashing": ["flash"],
    ".model": ["Attempt", "Board", "BoardData", "Callbacks", "Device", "DeviceKey", "FlashResult", "Image", "Issued",
               "Origin", "Summary"],
    ".outcomes": ["EXIT_OK", "EXIT_FAILED", "EXIT_USAGE", "EXIT_NOT_ACKNOWLEDGED", "EXIT_REPORT_UNWRITABLE",
                  "EXIT_OUT_OF_SERIAL_NUMBERS", "EXIT_INTERRUPTED"],
    ".records": ["Report", "ReportUnwritable"],
    ".run": ["flash_all"],
    ".settings": ["Settings"],
    ".station": ["watch"],
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
