"""The caller records of the public interface, field by field.

Each record has one encoder and one decoder here, written from the field offsets of the
public header (``include/mviahlp.h``). Records are immutable; change one with
``dataclasses.replace``. Every field is checked when a record is made, so a record that
exists can always be encoded: bad values raise ``TypeError`` or ``ValueError`` before any
board command.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field, fields
from typing import Any, Union

# Record sizes and field offsets (public header).
INFO_RECORD_SIZE = 58
USER_RECORD_SIZE = 189
CONFIG_RECORD_SIZE = 14
DATETIME_RECORD_SIZE = 8
USER_STRING_MAX = 12
ACCESS_WORD_OFFSET = 172

# The 11 bytes an information record starts with; the last three spell "AVR".
SIGNATURE = bytes([0x0A, 0x80, 0xAA, 0xAA, 0xAE, 0xE0, 0xA4, 0x2D, 0x41, 0x56, 0x52])
# The check word reported by KLIAGetInfo: 0 none stored (not formatted), 0xFFFF unreadable.
CHECK_WORD_NONE = 0
CHECK_WORD_UNREADABLE = 0xFFFF
# A size is reported in its 16-bit field up to this value, in its 32-bit field above it.
SIZE_PAIR_LIMIT = 65520

CODEC = "cp866"


def get_le(data: bytes, offset: int, width: int) -> int:
    return int.from_bytes(data[offset:offset + width], "little")


def put_le(buffer: bytearray, offset: int, width: int, value: int) -> None:
    buffer[offset:offset + width] = value.to_bytes(width, "little")


def check_uint(value: object, bits: int, what: str) -> int:
    """An int of 0 to 2**bits - 1, else TypeError / ValueError naming `what`."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not 0 <= value < (1 << bits):
        raise ValueError(f"{what} must be 0-{(1 << bits) - 1}, not {value}")
    return value


def check_flag(value: object, what: str) -> bool:
    if isinstance(value, bool):
        return value
    if isinstance(value, int) and value in (0, 1):
        return bool(value)
    raise TypeError(f"{what} must be a bool, not {value!r}")


def check_bytes(value: object, size: int, what: str, *, exact: bool = True) -> bytes:
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{what} must be bytes, not {type(value).__name__}")
    data = bytes(value)
    if exact and len(data) != size:
        raise ValueError(f"{what} must be {size} bytes, not {len(data)}")
    if not exact and len(data) > size:
        raise ValueError(f"{what} must be at most {size} bytes, not {len(data)}")
    return data


def encode_short_string(text: object, what: str, capacity: int = USER_STRING_MAX) -> bytes:
    """A short string: length byte, then the text in code page 866."""
    if not isinstance(text, str):
        raise TypeError(f"{what} must be a str, not {type(text).__name__}")
    try:
        encoded = text.encode(CODEC)
    except UnicodeEncodeError as error:
        raise ValueError(f"{what} {text!r}: {text[error.start:error.end]!r} has no character in code page 866") \
            from None
    if len(encoded) > capacity:
        raise ValueError(f"{what} {text!r} is {len(encoded)} characters long; at most {capacity} fit")
    return bytes([len(encoded)]) + encoded


def decode_short_string(data: bytes, capacity: int) -> str:
    length = min(data[0], capacity, len(data) - 1)
    return data[1:1 + length].decode(CODEC)


class StateClass(enum.IntEnum):
    """The information record's state class (the board's own states 0 and 3 as they are)."""

    BOARD_STATE_0 = 0
    NOT_FORMATTED = 1
    READY = 2
    BOARD_STATE_3 = 3
    USER_LOGGED_ON = 4


@dataclass(frozen=True)
class InfoRecord:
    """The information record that KLIAGetInfo fills (58 bytes), every field decoded.

    Sizes are reported as pairs: the 16-bit field up to 65520, else the 32-bit field; the
    ``*_bytes`` properties give the size whichever field holds it.
    """

    signature: bytes
    check_word: int
    state_class: Union[StateClass, int]
    current_user: int
    current_user_flag: bool
    user_count: int
    byte30: int
    devices: int
    data_area_size: int
    word34: int
    log_area_size: int
    log_used: int
    ext_low: int
    version: int
    data_area_size_ex: int
    log_area_size_ex: int
    log_used_ex: int
    ext_high: int

    @property
    def signature_ok(self) -> bool:
        return self.signature == SIGNATURE

    @property
    def formatted(self) -> bool:
        """A check word is stored (the board's database was formatted)."""
        return self.check_word not in (CHECK_WORD_NONE, CHECK_WORD_UNREADABLE)

    @property
    def data_area_bytes(self) -> int:
        return self.data_area_size or self.data_area_size_ex

    @property
    def log_area_bytes(self) -> int:
        return self.log_area_size or self.log_area_size_ex

    @property
    def log_used_bytes(self) -> int:
        return self.log_used or self.log_used_ex

    @classmethod
    def decode(cls, record: bytes) -> InfoRecord:
        if len(record) != INFO_RECORD_SIZE:
            raise ValueError(f"an information record is {INFO_RECORD_SIZE} bytes, not {len(record)}")
        state: Union[StateClass, int] = record[23]
        try:
            state = StateClass(record[23])
        except ValueError:
            pass
        current = get_le(record, 24, 2)
        return cls(
            signature=bytes(record[0:11]),
            check_word=get_le(record, 21, 2),
            state_class=state,
            current_user=current & 0x7FFF,
            current_user_flag=bool(current & 0x8000),
            user_count=get_le(record, 26, 2),
            byte30=record[30],
            devices=record[31],
            data_area_size=get_le(record, 32, 2),
            word34=get_le(record, 34, 2),
            log_area_size=get_le(record, 36, 2),
            log_used=get_le(record, 38, 2),
            ext_low=get_le(record, 40, 2),
            version=get_le(record, 42, 2),
            data_area_size_ex=get_le(record, 44, 4),
            log_area_size_ex=get_le(record, 48, 4),
            log_used_ex=get_le(record, 52, 4),
            ext_high=get_le(record, 56, 2),
        )


@dataclass(frozen=True)
class CurrentUser:
    """Who is logged on: user number 0 when nobody is; the user's flag."""

    number: int
    flag: bool

    @property
    def logged_on(self) -> bool:
        return self.number != 0


class _Kind(enum.Enum):
    STRING = "string"  # short string, code page 866, at most 12 characters
    FLAG = "flag"  # one byte: any nonzero value sets it; reads 1 or 0
    NIBBLE = "nibble"  # one byte, only bits 0-3 kept
    BYTE = "byte"  # a number, 8 bits
    WORD = "word"  # a number, 16 bits
    FLAGS8 = "flags8"  # eight flag bytes
    DATA = "data"  # bytes the board keeps as written


def _spec(offset: int, kind: _Kind, width: int = 1) -> dict[str, Any]:
    return {"offset": offset, "kind": kind, "width": width}


def _check_field(kind: _Kind, width: int, value: object, what: str) -> object:
    if kind is _Kind.STRING:
        encode_short_string(value, what)
        return value
    if kind is _Kind.FLAG:
        return check_flag(value, what)
    if kind is _Kind.NIBBLE:
        return check_uint(value, 4, what)
    if kind in (_Kind.BYTE, _Kind.WORD):
        return check_uint(value, 8 * width, what)
    if kind is _Kind.FLAGS8:
        if not isinstance(value, (tuple, list)) or len(value) != 8:
            raise TypeError(f"{what} must be a tuple of eight bools, not {value!r}")
        return tuple(check_flag(flag, f"{what}[{i}]") for i, flag in enumerate(value))
    return check_bytes(value, width, what)


def _encode_fields(record: object, size: int) -> bytearray:
    buffer = bytearray(size)
    for f in fields(record):
        kind, offset, width = f.metadata["kind"], f.metadata["offset"], f.metadata["width"]
        value = getattr(record, f.name)
        if kind is _Kind.STRING:
            encoded = encode_short_string(value, f.name)
            buffer[offset:offset + len(encoded)] = encoded
        elif kind is _Kind.FLAGS8:
            buffer[offset:offset + 8] = bytes(1 if flag else 0 for flag in value)
        elif kind is _Kind.DATA:
            buffer[offset:offset + width] = value
        else:
            put_le(buffer, offset, width, int(value))
    return buffer


def _decode_fields(cls: type, record: bytes) -> dict[str, Any]:
    values: dict[str, Any] = {}
    for f in fields(cls):
        kind, offset, width = f.metadata["kind"], f.metadata["offset"], f.metadata["width"]
        if kind is _Kind.STRING:
            values[f.name] = decode_short_string(record[offset:offset + 1 + USER_STRING_MAX], USER_STRING_MAX)
        elif kind is _Kind.FLAG:
            values[f.name] = record[offset] != 0
        elif kind is _Kind.FLAGS8:
            values[f.name] = tuple(b != 0 for b in record[offset:offset + 8])
        elif kind is _Kind.DATA:
            values[f.name] = bytes(record[offset:offset + width])
        elif kind is _Kind.NIBBLE:
            values[f.name] = record[offset] & 0x0F
        else:
            values[f.name] = get_le(record, offset, width)
    return values


def _validate(record: object) -> None:
    for f in fields(record):
        value = _check_field(f.metadata["kind"], f.metadata["width"], getattr(record, f.name), f.name)
        object.__setattr__(record, f.name, value)


_ZERO4 = bytes(4)


@dataclass(frozen=True)
class UserRecord:
    """A user record (189 bytes), read and written by KLIAReadUserData / KLIAWriteUserData.

    Fields are named by their offsets in the public header. ``name`` and ``name2`` hold at
    most 12 characters of code page 866. DATA fields are bytes of the field's width, kept by
    the board as written; the virtual board takes ``data28 + data32`` as the user's logon
    key and ``data36 + data40`` as the password. ``access_word`` is the DeviceAccessWord
    (bits 0-7 a device mask, bit 15 a flag). A record never written reads with every DATA
    byte 0xFF.
    """

    name: str = field(default="", metadata=_spec(0, _Kind.STRING, 13))
    name2: str = field(default="", metadata=_spec(13, _Kind.STRING, 13))
    flag26: bool = field(default=False, metadata=_spec(26, _Kind.FLAG))
    flag27: bool = field(default=False, metadata=_spec(27, _Kind.FLAG))
    data28: bytes = field(default=_ZERO4, metadata=_spec(28, _Kind.DATA, 4))
    data32: bytes = field(default=_ZERO4, metadata=_spec(32, _Kind.DATA, 4))
    data36: bytes = field(default=_ZERO4, metadata=_spec(36, _Kind.DATA, 4))
    data40: bytes = field(default=_ZERO4, metadata=_spec(40, _Kind.DATA, 4))
    data44: bytes = field(default=bytes(64), metadata=_spec(44, _Kind.DATA, 64))
    data108: bytes = field(default=_ZERO4, metadata=_spec(108, _Kind.DATA, 4))
    data112: bytes = field(default=bytes(1), metadata=_spec(112, _Kind.DATA, 1))
    flag113: bool = field(default=False, metadata=_spec(113, _Kind.FLAG))
    flag114: bool = field(default=False, metadata=_spec(114, _Kind.FLAG))
    nibble115: int = field(default=0, metadata=_spec(115, _Kind.NIBBLE))
    data116: bytes = field(default=bytes(1), metadata=_spec(116, _Kind.DATA, 1))
    data117: bytes = field(default=bytes(1), metadata=_spec(117, _Kind.DATA, 1))
    data118: bytes = field(default=bytes(1), metadata=_spec(118, _Kind.DATA, 1))
    data119: bytes = field(default=bytes(42), metadata=_spec(119, _Kind.DATA, 42))
    data161: bytes = field(default=_ZERO4, metadata=_spec(161, _Kind.DATA, 4))
    data165: bytes = field(default=bytes(2), metadata=_spec(165, _Kind.DATA, 2))
    data167: bytes = field(default=bytes(1), metadata=_spec(167, _Kind.DATA, 1))
    data168: bytes = field(default=_ZERO4, metadata=_spec(168, _Kind.DATA, 4))
    access_word: int = field(default=0, metadata=_spec(ACCESS_WORD_OFFSET, _Kind.WORD, 2))
    data174: bytes = field(default=bytes(1), metadata=_spec(174, _Kind.DATA, 1))
    data175: bytes = field(default=bytes(1), metadata=_spec(175, _Kind.DATA, 1))
    flags177: tuple[bool, bool, bool, bool, bool, bool, bool, bool] = field(
        default=(False,) * 8, metadata=_spec(177, _Kind.FLAGS8, 8))
    data185: bytes = field(default=_ZERO4, metadata=_spec(185, _Kind.DATA, 4))

    def __post_init__(self) -> None:
        _validate(self)

    @property
    def logon_key(self) -> bytes:
        """Bytes 28-35: the first logon block that the virtual board matches."""
        return self.data28 + self.data32

    @property
    def logon_password(self) -> bytes:
        """Bytes 36-43: the second logon block that the virtual board matches."""
        return self.data36 + self.data40

    def encode(self) -> bytes:
        return bytes(_encode_fields(self, USER_RECORD_SIZE))

    @classmethod
    def decode(cls, record: bytes) -> UserRecord:
        if len(record) < USER_RECORD_SIZE:
            raise ValueError(f"a user record is {USER_RECORD_SIZE} bytes, not {len(record)}")
        return cls(**_decode_fields(cls, record))


@dataclass(frozen=True)
class ConfigRecord:
    """The configuration record (14 bytes) of KLIAReadConfigData / KLIAWriteConfigData.

    A stored 255 in ``byte2`` and ``byte3`` reads back as 20.
    """

    byte0: int = field(default=0, metadata=_spec(0, _Kind.BYTE))
    flag1: bool = field(default=False, metadata=_spec(1, _Kind.FLAG))
    byte2: int = field(default=0, metadata=_spec(2, _Kind.BYTE))
    byte3: int = field(default=0, metadata=_spec(3, _Kind.BYTE))
    byte4: int = field(default=0, metadata=_spec(4, _Kind.BYTE))
    flag5: bool = field(default=False, metadata=_spec(5, _Kind.FLAG))
    flag6: bool = field(default=False, metadata=_spec(6, _Kind.FLAG))
    flag7: bool = field(default=False, metadata=_spec(7, _Kind.FLAG))
    flag8: bool = field(default=False, metadata=_spec(8, _Kind.FLAG))
    word9: int = field(default=0, metadata=_spec(9, _Kind.WORD, 2))
    flag11: bool = field(default=False, metadata=_spec(11, _Kind.FLAG))
    byte12: int = field(default=0, metadata=_spec(12, _Kind.BYTE))
    byte13: int = field(default=0, metadata=_spec(13, _Kind.BYTE))

    def __post_init__(self) -> None:
        _validate(self)

    def encode(self) -> bytes:
        return bytes(_encode_fields(self, CONFIG_RECORD_SIZE))

    @classmethod
    def decode(cls, record: bytes) -> ConfigRecord:
        if len(record) != CONFIG_RECORD_SIZE:
            raise ValueError(f"a configuration record is {CONFIG_RECORD_SIZE} bytes, not {len(record)}")
        return cls(**_decode_fields(cls, record))
