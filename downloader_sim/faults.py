"""Fault injection: which replies the device spoils, and how.

Each fault has two selections: `<fault>_blocks` picks image blocks by block
number (the packet counter of an 0x10 request), `<fault>_commands` picks
requests by command code (0x00, 0x10, 0x20, or the names "heartbeat",
"block", "run").  A selection is either a collection of keys, which hits every
time such a request arrives, or a mapping {key: times}, which hits only the
first `times` arrivals (None meaning every time).  So `reject={3: 2}` spoils the first two copies of
block 3 and lets the third through, while `no_reply_blocks={5}` never answers
block 5.
"""

from typing import Callable, Dict, FrozenSet, Iterable, Mapping, Optional, Set, Union

from downloader_wire import COMMANDS, COMMAND_NAMES, MAX_COUNTER

# A request is picked by a block number or a command code (number or name).
Key = Union[int, str]
# Keys hit every time, or a mapping {key: times}, None times meaning every time.
Choice = Union[Key, Iterable[Key], Mapping[Key, Optional[int]]]

# Faults selected per request, in the order they are applied to a reply.
FAULT_NAMES = ("bad_counter", "bad_length", "bad_checksum", "short_reply",
               "no_reply", "extra_reply", "delay")

FAULT_HELP = {
    "bad_counter": "reply with the request's counter plus 1",
    "bad_length": "reply with 1 in the length byte (checksum still right)",
    "bad_checksum": "reply with a wrong checksum",
    "short_reply": "reply with only the first 4 bytes",
    "no_reply": "send no reply, so the host's read times out",
    "extra_reply": "send extra bytes after the reply",
    "delay": "send the reply delay_ms late",
}

# Faults after which the host does not see an acknowledgement.
NOT_ACKNOWLEDGED = frozenset(("bad_counter", "bad_length", "bad_checksum",
                              "short_reply", "no_reply"))


def command_code(key: Key) -> int:
    """A command code from its number or its name."""
    code = COMMANDS.get(key) if isinstance(key, str) else key
    if code not in COMMAND_NAMES:
        raise ValueError("unknown command: %r" % (key,))
    return code


def block_number(key: Key) -> int:
    if isinstance(key, bool) or not isinstance(key, int) or not 0 <= key <= MAX_COUNTER:
        raise ValueError("block number out of range 0..%d: %r" % (MAX_COUNTER, key))
    return key


class Selection:
    """Keys hit every time (`always`) and keys hit a number of times (`left`)."""

    def __init__(self, chosen: Optional[Choice] = None, key: Callable[[Key], int] = block_number) -> None:
        self.always: FrozenSet[int] = frozenset()
        self.left: Dict[int, int] = {}
        if chosen is None:
            return
        if isinstance(chosen, Mapping):
            always: Set[int] = set()
            for k, times in chosen.items():
                if times is None:
                    always.add(key(k))
                elif int(times) < 0:
                    raise ValueError("negative count for %r" % (k,))
                else:
                    self.left[key(k)] = int(times)
            self.always = frozenset(always)
        elif isinstance(chosen, (int, str)):
            self.always = frozenset((key(chosen),))
        else:
            self.always = frozenset(key(k) for k in chosen)

    def __bool__(self) -> bool:
        return bool(self.always) or any(self.left.values())

    def take(self, k: int) -> bool:
        """Whether this request is hit; a counted hit uses up one time."""
        if k in self.always:
            return True
        times = self.left.get(k)
        if times:
            self.left[k] = times - 1
            return True
        return False


class Faults:
    """The fault knobs of one simulated device.

    Keyword arguments: `<fault>_blocks` and `<fault>_commands` for each fault
    in FAULT_NAMES; `reject` (blocks answered with a wrong checksum, the same
    as bad_checksum_blocks); `extra_bytes` (what extra_reply appends; default
    a second copy of the reply); `delay_ms` (how late a delayed reply is; with
    no delay selection every reply is delayed); `disconnect_after_block`
    (close the device end of the line once the reply to that block has been
    read).
    """

    def __init__(self, *, reject: Optional[Choice] = None, extra_bytes: Optional[bytes] = None,
                 delay_ms: float = 0, disconnect_after_block: Optional[int] = None,
                 **selections: Optional[Choice]) -> None:
        self.blocks: Dict[str, Selection] = {}
        self.commands: Dict[str, Selection] = {}
        for name in FAULT_NAMES:
            self.blocks[name] = Selection(selections.pop(name + "_blocks", None), block_number)
            self.commands[name] = Selection(selections.pop(name + "_commands", None), command_code)
        if selections:
            raise TypeError("unknown fault: %s" % ", ".join(sorted(selections)))
        self.reject = Selection(reject, block_number)
        self.extra_bytes = None if extra_bytes is None else bytes(extra_bytes)
        if delay_ms < 0:
            raise ValueError("delay_ms must not be negative")
        self.delay = delay_ms / 1000.0
        if delay_ms and not (self.blocks["delay"] or self.commands["delay"]):
            self.commands["delay"] = Selection(tuple(COMMAND_NAMES), command_code)
        elif not delay_ms and (self.blocks["delay"] or self.commands["delay"]):
            raise ValueError("a delay selection needs delay_ms")
        self.disconnect_after_block = (None if disconnect_after_block is None
                                       else block_number(disconnect_after_block))
        self.active = bool(self.reject) or any(
            self.blocks[name] or self.commands[name] for name in FAULT_NAMES)

    def match(self, command: int, block: Optional[int]) -> Set[str]:
        """Names of the faults that hit this request (block is None unless 0x10)."""
        hits: Set[str] = set()
        for name in FAULT_NAMES:
            by_block = block is not None and self.blocks[name].take(block)
            if self.commands[name].take(command) or by_block:
                hits.add(name)
        if block is not None and self.reject.take(block):
            hits.add("bad_checksum")
        return hits
