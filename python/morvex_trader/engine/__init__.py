"""The host engine: runs gateways and a strategy, stores account state, serves the chat."""
