"""Which database a run's --database names: an SQLite file, or a line's PostgreSQL server."""
from .store import Store, open_sqlite

DEFAULT_DATABASE = "downloader.sqlite"  # in the working folder, when serial numbers are written without --database
POSTGRES_SCHEMES = ("postgresql://", "postgres://")


def open_store(target: str) -> Store:
    """The database at `target`: an SQLite file's path, or a postgresql:// (postgres://) URL."""
    if target.startswith(POSTGRES_SCHEMES):
        from .store_postgres import open_postgres  # imports psycopg, which only a line's stations need
        return open_postgres(target)
    return open_sqlite(target)
