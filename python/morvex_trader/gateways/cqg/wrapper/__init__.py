"""Native CQG wrapper modules: comhost (COM host, sinks) and tradelink (TradeLink)."""
