"""Type information for the native ``halvex_core`` extension module."""

from typing import List, Tuple, final

__all__ = ["CoordinationState"]

@final
class CoordinationState:
    """In-process coordination state shared by cooperating agents.

    Claims on files and tasks (300-second leases), per-agent inboxes and
    status words. Every method takes ``str`` arguments only, by position or
    by keyword. A message comes back as ``(from_agent, to_agent, content,
    timestamp)``, the timestamp in whole Unix seconds.
    """

    def claim_file(self, agent_id: str, path: str) -> str:
        """Claims a file for `agent_id`. Raises `RuntimeError` if another agent
        already holds it. Returns the claiming agent's id back on success —
        a no-op value, useful mainly to confirm the call didn't raise."""
    def claim_task(self, agent_id: str, task_id: str) -> str:
        """Claims a task for `agent_id`, as `claim_file` does for a file; the claim's
        key is `"task:<task_id>"`. Refused if another agent holds the task."""
    def release(self, agent_id: str, resource_key: str) -> None:
        """Releases a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`.
        Only the holder may release it."""
    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        """Renews a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`,
        extending its lease so a long-running task isn't lost to the TTL.
        Only the holder may renew."""
    def send_message(self, from_agent: str, to_agent: str, content: str) -> Tuple[str, str, str, int]:
        """Puts a message into `to_agent`'s inbox. Returns it as
        (from_agent, to_agent, content, timestamp)."""
    def broadcast(self, from_agent: str, content: str) -> Tuple[str, str, str, int]:
        """Sends `content` to the inbox of every known agent, the sender included; an
        agent is known once it has claimed or released, broadcast, or been sent a
        message. Returns (from_agent, "*", content, timestamp)."""
    def inbox(self, agent_id: str) -> List[Tuple[str, str, str, int]]:
        """Pending messages for `agent_id`, oldest first. Does not clear them —
        use `drain_inbox` for that."""
    def drain_inbox(self, agent_id: str) -> List[Tuple[str, str, str, int]]:
        """Pending messages for `agent_id`, oldest first, each as
        (from_agent, to_agent, content, timestamp); the inbox is emptied."""
    def status(self, agent_id: str) -> str:
        """One of `"idle"`, `"busy"`, `"completed"`, `"error"`."""
