"""Who a bearer token is: a single shared token, or a credentials file of
per-agent tokens with roles.

The file holds one entry a line, `NAME ROLE sha256:HEX`, and `#` comments.
Only the SHA-256 of each token is stored: tokens are 32 random bytes, so a
plain hash is enough and a stolen file gives nobody a token. Nothing here
imports the MCP SDK: the `halvex` command makes tokens with it.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import logging
import secrets
from typing import Any, Mapping, NamedTuple

log = logging.getLogger("halvex_mcp")

AGENT, OBSERVER, ADMIN = "agent", "observer", "admin"
ROLES = (AGENT, OBSERVER, ADMIN)
HASH_PREFIX = "sha256:"
TOKEN_BYTES = 32

# Set on a request's ASGI scope by the bearer check: the Principal it proved.
PRINCIPAL = "halvex.principal"


class CredentialsError(Exception):
    """The credentials file cannot be used; the text says where and why."""


class Principal(NamedTuple):
    name: str
    role: str


# The holder of the single --token: no limits, as before roles existed.
ANYONE = Principal("", ADMIN)


class Entry(NamedTuple):
    principal: Principal
    digest: bytes


def digest(token: str | bytes) -> bytes:
    raw = token.encode("utf-8") if isinstance(token, str) else token
    return hashlib.sha256(raw).digest()


def new_token() -> str:
    # Never a leading "-": `--token TOKEN` on a command line would read it as an option.
    while True:
        token = secrets.token_urlsafe(TOKEN_BYTES)
        if not token.startswith("-"):
            return token


def entry_line(name: str, role: str, token: str) -> str:
    check_entry(name, role)
    return f"{name} {role} {HASH_PREFIX}{digest(token).hex()}"


def check_entry(name: str, role: str) -> None:
    if not name or any(c.isspace() or c == "#" for c in name):
        raise CredentialsError(f"the name {name!r} must be non-empty, without spaces or '#'")
    if role not in ROLES:
        raise CredentialsError(f"the role {role!r} is not one of {', '.join(ROLES)}")


def parse(text: str, where: str) -> list[Entry]:
    entries: list[Entry] = []
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        fields = line.split()
        if len(fields) != 3 or not fields[2].startswith(HASH_PREFIX):
            raise CredentialsError(f"{where} line {number}: wants NAME ROLE sha256:HEX")
        name, role, hashed = fields
        try:
            check_entry(name, role)
            value = bytes.fromhex(hashed[len(HASH_PREFIX):])
        except (CredentialsError, ValueError) as err:
            raise CredentialsError(f"{where} line {number}: {err}") from None
        if len(value) != hashlib.sha256().digest_size:
            raise CredentialsError(f"{where} line {number}: the hash is not a SHA-256")
        # One token, two identities: which one it proves would depend on the order.
        for other in entries:
            if other.digest == value and other.principal != (name, role):
                raise CredentialsError(f"{where} line {number}: the same token as the entry of "
                                       f"{other.principal.name} ({other.principal.role})")
        entries.append(Entry(Principal(name, role), value))
    if not entries:
        raise CredentialsError(f"{where} holds no entries")
    return entries


class Keys:
    """The tokens a server accepts: one shared token (--token), or the
    entries of a credentials file (--credentials), reloaded on request."""

    def __init__(self, token: str | None = None, path: str | None = None) -> None:
        assert (token is None) != (path is None)
        self.path = path
        self.entries: list[Entry] = []
        if token is not None:
            self.entries = [Entry(ANYONE, digest(token))]
            # The board's cookie then outlives a restart, as the token does.
            self.secret = token.encode("utf-8")
        else:
            self.secret = secrets.token_bytes(32)
            self.load()

    @property
    def roles(self) -> bool:
        return self.path is not None

    def load(self) -> None:
        assert self.path is not None
        try:
            # utf-8-sig: an editor's byte-order mark is not part of the first name.
            with open(self.path, encoding="utf-8-sig") as f:
                text = f.read()
        except (OSError, UnicodeDecodeError) as err:
            why = getattr(err, "strerror", None) or err
            raise CredentialsError(f"cannot read {self.path}: {why}") from None
        self.entries = parse(text, self.path)

    def reload(self) -> None:
        """SIGHUP: the file read again; on a fault the entries in use stay."""
        try:
            self.load()
        except CredentialsError as err:
            log.warning("credentials not reloaded, the previous ones stay: %s", err)
            return
        log.info("credentials reloaded: %d entries", len(self.entries))

    def check(self, token: bytes) -> Principal | None:
        """The principal whose token this is. Every entry is compared, in
        constant time, so timing tells nothing of which one matched."""
        given = digest(token)
        found = None
        for entry in self.entries:
            if hmac.compare_digest(given, entry.digest) and found is None:
                found = entry.principal
        return found

    def cookie(self, token: bytes) -> str:
        """The board's cookie for a signed-in token: an HMAC of its hash."""
        return self._cookie(digest(token))

    def _cookie(self, hashed: bytes) -> str:
        return hmac.new(self.secret, b"halvex-mcp board " + hashed, hashlib.sha256).hexdigest()

    def from_cookie(self, value: bytes) -> Principal | None:
        found = None
        for entry in self.entries:
            if hmac.compare_digest(value, self._cookie(entry.digest).encode("ascii")) \
                    and found is None:
                found = entry.principal
        return found


def authorize(principal: Principal | None, tool: str, read_only: bool, identity: list[str],
              arguments: Mapping[str, Any] | None,
              admin_only: bool = False) -> tuple[dict[str, Any], str | None]:
    """A call's arguments as this principal may make it, and the refusal
    text when it may not: an observer only reads, an agent acts as itself
    (its identity arguments may be left out), an admin as anyone and alone
    calls the admin's tools."""
    given = dict(arguments or {})
    if admin_only and (principal is None or principal.role != ADMIN):
        return given, f"only an admin's token may call {tool}"
    if principal is None or principal.role == ADMIN:
        return given, None
    if principal.role == OBSERVER:
        if read_only:
            return given, None
        return given, f"this token may only read: {tool} is refused to an observer"
    for name in identity:
        if given.get(name) is None:
            given[name] = principal.name
        elif given[name] != principal.name:
            return given, f"this token acts as agent {json.dumps(principal.name)} only"
    return given, None
