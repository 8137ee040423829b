"""CQG gateway: the host gateway and its native wrapper modules."""
