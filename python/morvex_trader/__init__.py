"""morvex_trader: the host platform's package.

The compiled modules (security, comhost, tradelink, db, bot) are built into this
tree; the pure-Python modules stand in for the platform core that hosts them.
"""
