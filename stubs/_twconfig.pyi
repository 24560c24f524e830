"""Configuration interface for the Tidewren C library"""

def set_sink_url(url: str, /) -> None:
    """Set the GraphQL endpoint URL for the C library"""

def set_api_key(key: str, /) -> None:
    """Set the API key for the C library"""

def set_service_uuid(uuid: str, /) -> None:
    """Set the service UUID for the C library"""

def initialize() -> None:
    """Initialize and activate the C library (sets TW_INITIALIZED=1)"""
