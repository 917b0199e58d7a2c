"""The command: ``downloader-flash`` and ``python -m downloader_flash``.

A Ctrl-C before the first block, even while the tool is still loading, ends here in one
line: loading and running both happen inside the handler.
"""
import sys


def main() -> int:
    try:
        from .cli import main as command_line
        return command_line()
    except KeyboardInterrupt:
        from .errors import Interrupted
        before_start = Interrupted(None, 0)
        print(f"downloader-flash: {before_start}", file=sys.stderr, flush=True)
        return before_start.exit_code


if __name__ == "__main__":
    sys.exit(main())
