"""The line's database on PostgreSQL, through psycopg 3: store.py's SQL, in PostgreSQL's dialect.
Imported only for a postgresql:// (postgres://) URL."""
import datetime
import importlib
import urllib.parse
from typing import Any

from .model import Record
from .store import Dialect, Store, StoreUnwritable, reason

CONNECT_TIMEOUT = 10  # seconds to reach the server
PSYCOPG_MISSING = "it needs psycopg: pip install 'downloader[line]'"
LAYOUT_LOCK = 0x646C7374  # any number of our own: it stands for creating the tables


def shown_url(url: str) -> str:
    """`url` without its password, for messages."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    netloc = parts.netloc.rpartition("@")[2]
    user = urllib.parse.quote(parts.username or "")
    return urllib.parse.urlunsplit(parts._replace(netloc=f"{user}@{netloc}"))


class PostgresDialect(Dialect):
    types = {"time": "TIMESTAMPTZ", "document": "JSONB", "identity": "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY"}
    lock_pool = " FOR UPDATE"

    def __init__(self, psycopg: Any) -> None:
        self.psycopg = psycopg
        errors = psycopg.errors
        self.collisions = (errors.UniqueViolation, errors.SerializationFailure, errors.DeadlockDetected)
        self.errors = (OSError, psycopg.Error)

    def sql(self, text: str) -> str:
        return text.replace("?", "%s")

    def time(self, seconds: float) -> Any:
        return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)

    def record_time(self, text: str) -> Any:
        return datetime.datetime.fromisoformat(text)

    def document(self, values: Record) -> Any:
        return self.psycopg.types.json.Jsonb(values)


class PostgresStore(Store):
    def transaction(self) -> Any:
        return self.connection.transaction()

    def lock_layout(self) -> None:
        # CREATE TABLE IF NOT EXISTS run at once by two sessions can fail on the catalogue's unique keys.
        self.execute("SELECT pg_advisory_xact_lock(?)", LAYOUT_LOCK)


def open_postgres(url: str) -> Store:
    shown = shown_url(url)
    try:
        psycopg = importlib.import_module("psycopg")  # only a line's stations need it
    except ImportError:
        raise StoreUnwritable(f"cannot write the database {shown}: {PSYCOPG_MISSING}") from None
    try:
        connection = psycopg.connect(url, autocommit=True, connect_timeout=CONNECT_TIMEOUT)
    except psycopg.Error as error:
        raise StoreUnwritable(f"cannot write the database {shown}: {reason(error)}") from None
    return PostgresStore(shown, connection, PostgresDialect(psycopg))
