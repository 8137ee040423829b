"""Plug-ins: persistence and remote control."""
