"""A payload broadcast to every Dask worker, scattered again when it is lost.

Scattered data has no lineage: when every worker holding a copy dies (one
killed before the broadcast reached a second, or all of them at once), the
tasks that need it come back cancelled. Both cluster layers then submit those
tasks again on a fresh copy; their results depend on their arguments alone,
so only the time changes.
"""

from __future__ import annotations

from typing import Any

# Times the payload may be scattered again after all its copies were lost.
LOST_PAYLOAD_RETRIES = 3
# How long a lost payload waits for a worker to hold its new copy (a restart
# may still be bringing its workers back).
WORKER_WAIT_SECONDS = 120


class Scattered:
    """The current copy of `payload` on the cluster (`future`)."""

    def __init__(self, client: Any, payload: Any) -> None:
        self._client = client
        self._payload = payload
        self._losses = 0
        self.future: Any = client.scatter(payload, broadcast=True, hash=False)

    def renew(self, given: Any) -> bool:
        """Called for a task given the copy `given` that came back cancelled:
        scatters a fresh copy once per loss (a task given an older copy finds
        the new one in place). False after LOST_PAYLOAD_RETRIES losses: the
        caller gives up."""
        if given is not self.future:
            return True
        self._losses += 1
        if self._losses > LOST_PAYLOAD_RETRIES:
            return False
        self._client.cancel([self.future], force=True)
        self._client.wait_for_workers(1, timeout=WORKER_WAIT_SECONDS)
        self.future = self._client.scatter(self._payload, broadcast=True, hash=False)
        return True

    def release(self) -> None:
        if self.future is not None:
            self._client.cancel([self.future], force=True)
            self.future = None
