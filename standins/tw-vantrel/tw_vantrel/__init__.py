"""Stand-in for the agent package: just enough of it for the native modules' tests and demo."""
