"""Ultra-fast header injection check with domain filtering in C (<10ns overhead)"""

from typing import Any

def init_header_check(skip_list: list[str], /) -> bool:
    """Initialize with domains to skip (called at patch time)"""

def should_inject_headers(url: str, /) -> tuple[bool, Any, Any]:
    """Ultra-fast header check (returns: should_inject, trace_id, funcspan_override)"""

def cleanup() -> None:
    """Cleanup allocated memory"""

def init_propagation_targets(targets: list[str], /) -> bool:
    """Initialize with the hosts that may receive the headers, an allow list beside the skip list (called at patch time)"""
