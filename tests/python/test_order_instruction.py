"""The chat's 8-piece order instruction: accepted forms and clear refusals."""

import pytest

from morvex_trader.core.constants import Direction, Offset, OrderType
from morvex_trader.engine.order_instruction import InstructionError, parse_order_instruction

GATEWAYS = ["CQG"]


@pytest.mark.parametrize("text, expected", [
    ("EP,2,l,o,m,CQG,None,None", ("EP", 2, Direction.LONG, Offset.OPEN, OrderType.MARKET, None, None)),
    ("EP,1,S,c,l,CQG,4500.25,None", ("EP", 1, Direction.SHORT, Offset.CLOSE, OrderType.LIMIT, 4500.25, None)),
    ("EP, 3, l, o, s, CQG, 4400, 4410", ("EP", 3, Direction.LONG, Offset.OPEN, OrderType.STOP, 4400.0, 4410.0)),
], ids=["market", "limit", "stop-with-blanks"])
def test_accepted_instructions(text, expected):
    i = parse_order_instruction(text, GATEWAYS)
    assert (i.security_code, i.quantity, i.direction, i.offset, i.order_type, i.price, i.stop_price) == expected
    assert i.gateway_name == "CQG"


@pytest.mark.parametrize("text, message", [
    ("EP,1,l,o,m,CQG,None", "8 comma-separated pieces, got 7"),
    ("EP,1,l,o,m,CQG,None,None,x", "got 9"),
    ("EP,one,l,o,m,CQG,None,None", "quantity must be a whole number"),
    ("EP,0,l,o,m,CQG,None,None", "quantity must be positive"),
    ("EP,1,up,o,m,CQG,None,None", "direction must be one of l/s"),
    ("EP,1,l,x,m,CQG,None,None", "offset must be one of o/c"),
    ("EP,1,l,o,z,CQG,None,None", "order_type must be one of m/l/s"),
    ("EP,1,l,o,m,IB,None,None", "unknown gateway 'IB'"),
    ("EP,1,l,o,l,CQG,None,None", "a LIMIT order needs a price"),
    ("EP,1,l,o,s,CQG,10,None", "a STOP order needs a stop_price"),
    ("EP,1,l,o,l,CQG,abc,None", "price must be a number or None"),
    ("EP,1,l,o,l,CQG,nan,None", "price must be a positive number"),
    (",1,l,o,m,CQG,None,None", "security_code is empty"),
])
def test_malformed_instructions_are_refused_with_a_reason(text, message):
    with pytest.raises(InstructionError, match=message):
        parse_order_instruction(text, GATEWAYS)
