"""The line's database: which serial numbers have been issued, to whom and how each board ended,
and every attempt's record. One station keeps it in an SQLite file; a line shares PostgreSQL.

The SQL is written once for both, with `?` for its parameters; where the two dialects differ
(column types, locking the pool's row, times and documents as parameters), Dialect says how,
and store_postgres.PostgresDialect how PostgreSQL does it.
"""
import contextlib
import datetime
import json
import os
import socket
import sqlite3
import time
from typing import Any, Callable, Iterator, List, Optional, Tuple, Type, TypeVar

from .files import open_regular
from .model import RELEASED, USED, VOID, Board, BoardData, Issued, Numbers, Record
from .serials import recorded_state

LAYOUT = 1  # the version of the tables below, kept in meta
BUSY_TIMEOUT = 10.0  # seconds an SQLite writer waits for another station's transaction
RETRIES = 20  # transactions that collided with another station's, tried again (PostgreSQL's)
BOOT_ID = "/proc/sys/kernel/random/boot_id"
ORPHANED = "the tool that reserved it ended before it knew how the board ended"
SETTLED_STATES = (USED, RELEASED, VOID)

TABLES = (
    "CREATE TABLE IF NOT EXISTS meta (layout INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS pools (name TEXT PRIMARY KEY, next_index BIGINT NOT NULL)",
    # value: the number as text (1042, whatever its format), or a list's value; unique across pools
    """CREATE TABLE IF NOT EXISTS serials (
        value TEXT PRIMARY KEY, pool TEXT NOT NULL REFERENCES pools (name), state TEXT NOT NULL,
        station TEXT, host TEXT NOT NULL, pid INTEGER NOT NULL, boot TEXT, port TEXT NOT NULL, usb_serial TEXT,
        reserved_at {time} NOT NULL, settled_at {time}, reason TEXT)""",
    "CREATE INDEX IF NOT EXISTS serials_by_pool ON serials (pool, state, settled_at)",
    "CREATE INDEX IF NOT EXISTS serials_by_host ON serials (host, state)",
    """CREATE TABLE IF NOT EXISTS attempts (
        id {identity}, time {time} NOT NULL, station TEXT, host TEXT NOT NULL, port TEXT NOT NULL,
        serial_number TEXT, serial TEXT, result TEXT NOT NULL, image_sha256 TEXT, job TEXT, job_sha256 TEXT,
        final BOOLEAN, record {document} NOT NULL)""",
    "CREATE INDEX IF NOT EXISTS attempts_by_serial ON attempts (serial)",
    "CREATE INDEX IF NOT EXISTS attempts_by_time ON attempts (time)",
)
ADD_POOL = "INSERT INTO pools (name, next_index) VALUES (?, 0) ON CONFLICT (name) DO NOTHING"
NEXT_INDEX = "SELECT next_index FROM pools WHERE name = ?"
RELEASED_VALUES = "SELECT value FROM serials WHERE pool = ? AND state = 'released' ORDER BY settled_at, value"
TAKEN = "SELECT 1 FROM serials WHERE value = ?"
RESERVE = """INSERT INTO serials (value, pool, state, station, host, pid, boot, port, usb_serial, reserved_at)
    VALUES (?, ?, 'reserved', ?, ?, ?, ?, ?, ?, ?)"""
RESERVE_AGAIN = """UPDATE serials SET state = 'reserved', station = ?, host = ?, pid = ?, boot = ?, port = ?,
    usb_serial = ?, reserved_at = ?, settled_at = NULL, reason = NULL WHERE value = ? AND state = 'released'"""
ADVANCE = "UPDATE pools SET next_index = ? WHERE name = ?"
SETTLE = "UPDATE serials SET state = ?, settled_at = ?, reason = ? WHERE value = ? AND state = 'reserved'"
RESERVED_HERE = "SELECT value, pid, boot FROM serials WHERE host = ? AND state = 'reserved'"
VOID_ORPHAN = "UPDATE serials SET state = 'void', settled_at = ?, reason = ? WHERE value = ? AND state = 'reserved'"
ADD_ATTEMPT = """INSERT INTO attempts (time, station, host, port, serial_number, serial, result, image_sha256, job,
    job_sha256, final, record) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"""

T = TypeVar("T")


class StoreUnwritable(Exception):
    """The database cannot be opened or written; str() is one line."""


def boot_id() -> Optional[str]:
    """This boot of this machine: a pid means nothing across a reboot."""
    try:
        with open(BOOT_ID) as handle:
            return handle.read().strip()
    except OSError:
        return None


def running(pid: int) -> bool:
    if pid <= 0:  # not a process: kill() would signal a group
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # another user's
        return True
    return True


def reason(error: BaseException) -> str:
    """`error` in one line."""
    text = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    return " ".join(text.split()) or type(error).__name__


class Dialect:
    """SQLite's way, the default."""

    types = {"time": "TEXT", "document": "TEXT", "identity": "INTEGER PRIMARY KEY"}
    lock_pool = ""  # BEGIN IMMEDIATE has locked the whole database
    collisions: Tuple[Type[BaseException], ...] = ()  # writers never collide: they wait their turn
    errors: Tuple[Type[BaseException], ...] = (OSError, sqlite3.Error)  # what a failing database raises

    def sql(self, text: str) -> str:
        return text

    def time(self, seconds: float) -> Any:
        # To the microsecond, as PostgreSQL keeps it: the oldest value given back is issued first.
        moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
        return moment.isoformat(timespec="microseconds")

    def record_time(self, text: str) -> Any:
        return text

    def document(self, values: Record) -> Any:
        return json.dumps(values)


class Store:
    """A database of serial numbers and records, on one connection, used from one thread at a time."""

    def __init__(self, target: str, connection: Any, dialect: Dialect) -> None:
        self.target, self.connection, self.dialect = target, connection, dialect
        self.host, self.boot = socket.gethostname(), boot_id()
        try:
            self.guarded(self.create)
        except StoreUnwritable:
            self.close()
            raise

    def describe(self, error: BaseException) -> str:
        return f"cannot write the database {self.target}: {reason(error)}"

    def guarded(self, work: Callable[[], T]) -> T:
        """work(), with any failure of the database as StoreUnwritable."""
        try:
            return work()
        except self.dialect.errors as error:
            raise StoreUnwritable(self.describe(error)) from None

    def execute(self, text: str, *parameters: Any) -> Any:
        return self.connection.execute(self.dialect.sql(text), parameters)

    @contextlib.contextmanager
    def transaction(self) -> Iterator[None]:
        self.connection.execute("BEGIN IMMEDIATE")
        try:
            yield
        except BaseException:
            with contextlib.suppress(sqlite3.Error):  # the connection failed: SQLite rolled it back
                self.connection.execute("ROLLBACK")
            raise
        self.connection.execute("COMMIT")

    def retried(self, work: Callable[[], T]) -> T:
        """work() in a transaction of its own, tried again when it collided with another station's."""
        for attempt in range(RETRIES):
            try:
                with self.transaction():
                    return work()
            except self.dialect.collisions:
                if attempt == RETRIES - 1:
                    raise
        raise AssertionError("unreachable")

    def create(self) -> None:
        with self.transaction():
            self.lock_layout()
            for table in TABLES:
                self.execute(table.format(**self.dialect.types))
            row = self.execute("SELECT layout FROM meta").fetchone()
            if row is None:
                self.execute("INSERT INTO meta (layout) VALUES (?)", LAYOUT)
            elif row[0] != LAYOUT:
                raise StoreUnwritable(f"cannot write the database {self.target}: its layout is version {row[0]}, "
                                      f"and this tool knows version {LAYOUT}")

    def lock_layout(self) -> None:
        """Stations creating the tables at once: SQLite's BEGIN IMMEDIATE has them take turns."""

    def pool(self, numbers: Numbers) -> "Pool":
        """The values of `numbers`, issued through this database. The values that a tool of this
        machine reserved and that no running process holds are void from here on."""
        def open_pool() -> None:
            with self.transaction():
                self.execute(ADD_POOL, numbers.name)
                self.void_orphans()
        self.guarded(open_pool)
        return Pool(self, numbers)

    def void_orphans(self) -> None:
        for value, pid, boot in self.execute(RESERVED_HERE, self.host).fetchall():
            if boot != self.boot or not running(pid):
                self.execute(VOID_ORPHAN, self.dialect.time(time.time()), ORPHANED, value)

    def record(self, values: Record, final: Optional[bool] = None) -> None:
        """Keeps one attempt's record; `final` when no other attempt at its board follows (None:
        not known), so that a board's outcome is its final attempt's."""
        def add() -> None:
            with self.transaction():
                self.add_attempt(values, final)
        self.guarded(add)

    def add_attempt(self, values: Record, final: Optional[bool]) -> None:
        serial = values.get("serial")
        self.execute(ADD_ATTEMPT, self.dialect.record_time(values["time"]), values.get("station"), values["host"],
                     values["port"], values.get("serial_number"), None if serial is None else str(serial),
                     values["result"], values.get("image_sha256"), values.get("job"), values.get("job_sha256"),
                     final, self.dialect.document(values))

    def close(self) -> None:
        with contextlib.suppress(Exception):  # gone already: nothing was left unwritten
            self.connection.close()


class Pool(BoardData):
    """The values of one pool, issued one board at a time: a released value first (oldest first),
    otherwise the pool's next, skipping those that another pool has issued."""

    def __init__(self, store: Store, numbers: Numbers) -> None:
        self.store, self.numbers = store, numbers

    def issue(self, board: Board) -> Optional[Issued]:
        key = self.store.guarded(lambda: self.store.retried(lambda: self.reserve(board)))
        return None if key is None else self.numbers.issued(key, key)

    def reserve(self, board: Board) -> Optional[str]:
        """The value reserved for `board`, as the database keys it; None when there are no more."""
        store, name = self.store, self.numbers.name
        index = store.execute(NEXT_INDEX + store.dialect.lock_pool, name).fetchone()[0]
        holder = (board.station, board.host, board.pid, store.boot, board.port, board.serial_number)
        now = store.dialect.time(time.time())
        released = self.given_back()
        if released:
            store.execute(RESERVE_AGAIN, *holder, now, released[0])
            return released[0]
        while True:
            value = self.numbers.value(index)
            if value is None:
                return None
            index += 1
            key = str(value)
            if store.execute(TAKEN, key).fetchone() is None:
                store.execute(RESERVE, key, name, *holder, now)
                store.execute(ADVANCE, index, name)
                return key

    def given_back(self) -> List[str]:
        """The released values of the pool that these numbers hold, oldest first. A host's own
        Numbers, without holds(), hold them all."""
        holds = getattr(self.numbers, "holds", lambda key: True)
        keys = [str(key) for (key,) in self.store.execute(RELEASED_VALUES, self.numbers.name).fetchall()]
        return [key for key in keys if holds(key)]

    def settle(self, issued: Issued, state: str, record: Record) -> bool:
        if state not in SETTLED_STATES:
            raise ValueError(f"a value is settled as {', '.join(SETTLED_STATES)}, not {state}")
        recorded, why = recorded_state(record)
        reason = None if state == USED else why if recorded == state else record.get("error")
        return self.store.guarded(lambda: self.mark(issued, state, reason, record))

    def mark(self, issued: Issued, state: str, reason: Optional[str], record: Record) -> bool:
        store = self.store
        with store.transaction():
            marked = store.execute(SETTLE, state, store.dialect.time(time.time()), reason, issued.ticket)
            if marked.rowcount != 1:
                raise StoreUnwritable(f"cannot write the database {store.target}: the serial number "
                                      f"{issued.ticket} is no longer reserved for this board")
            store.add_attempt(record, True)
        return True

    def left(self) -> Optional[int]:
        def count() -> int:
            name = self.numbers.name
            index = int(self.store.execute(NEXT_INDEX, name).fetchone()[0])
            return max(0, self.numbers.count() - index) + len(self.given_back())
        return self.store.guarded(count)


def open_sqlite(path: str) -> Store:
    path = os.path.abspath(path)
    try:
        # Made here, as a regular file and never through a symbolic link: the tool often runs as root.
        os.close(open_regular(path, os.O_RDWR | os.O_CREAT, 0o644, follow=False))
        connection = sqlite3.connect(path, timeout=BUSY_TIMEOUT, isolation_level=None, check_same_thread=False)
    except (OSError, sqlite3.Error) as error:
        raise StoreUnwritable(f"cannot write the database {path}: {reason(error)}") from None
    try:
        connection.execute(f"PRAGMA busy_timeout = {int(BUSY_TIMEOUT * 1000)}")
        connection.execute("PRAGMA journal_mode = WAL")
        # A commit survives a power cut: a reservation lost with it would let a number reach two boards.
        connection.execute("PRAGMA synchronous = FULL")
        connection.execute("PRAGMA foreign_keys = ON")
    except sqlite3.Error as error:
        connection.close()
        raise StoreUnwritable(f"cannot write the database {path}: {reason(error)}") from None
    return Store(path, connection, Dialect())
