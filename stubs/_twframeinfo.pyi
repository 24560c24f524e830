"""Ultra-fast frame introspection for network hop capture"""

from typing import Literal

def get_code_info(func: object, /) -> tuple[str, int, str, Literal[True]] | None:
    """Extract (filename, lineno, name, is_user) from function. Returns None if not user code."""

def get_frame_info(frame: object, /) -> tuple[str, int, str, Literal[True]] | None:
    """Extract (filename, lineno, name, is_user) from frame. Returns None if not user code."""

def is_user_code_func(func: object, /) -> bool:
    """Quick check if function is user code."""

def get_call_site(frame: object = ..., /) -> tuple[str, int, str, Literal[True]] | None:
    """Extract (filename, lineno, name, is_user) from the nearest user-code frame, walking outward from frame (default: the caller's frame). Returns None if there is none."""

def init_user_code(include: list[str], exclude: list[str], /) -> bool:
    """Initialize with the path prefixes of user code (include) and of code that is not (exclude), over the built-in rule (called at patch time)"""
