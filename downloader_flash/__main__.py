"""The command: ``downloader-flash`` and ``python -m downloader_flash``.

Ctrl-C pressed while the tool is still loading ends in the same one line as a Ctrl-C
before the first block, so the loading happens here, where that is caught.
"""
import sys


def main() -> int:
    try:
        from .cli import main as command_line
    except KeyboardInterrupt:
        from .errors import Interrupted
        before_start = Interrupted(None, 0)
        print(f"downloader-flash: {before_start}", file=sys.stderr, flush=True)
        return before_start.exit_code
    return command_line()


if __name__ == "__main__":
    sys.exit(main())
