"""The chat's 8-piece order instruction: accepted forms and clear refusals."""

import pytest

from morvex_trader.core.constants import Direction, Offset, OrderType
from morvex_trader.engine.order_instruction import InstructionError, parse_order_instruction

GATEWAYS = ["CQG"]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("EP,2,l,o,m,CQG,None,None", ("EP", 2, Direction.LONG, Offset.OPEN, OrderType.MARKET, None, None)),
        ("EP,1,S,c,l,CQG,4500.25,None", ("EP", 1, Direction.SHORT, Offset.CLOSE, OrderType.LIMIT, 4500.25, None)),
        ("EP, 3, l, o, s, CQG, 4400, 4410", ("EP", 3, Direction.LONG, Offset.OPEN, OrderType.STOP, 4400.0, 4410.0)),
    ],
    ids=["market", "limit", "stop-with-blanks"],
)
def test_accepted_instructions(text, expected):
    i = parse_order_instruction(text, GATEWAYS)
    assert (i.security_code, i.quantity, i.direction, i.offset, i.order_type, i.price, i.stop_price) == expected
    assert i.gateway_name == "CQG"


@pytest.mark.parametrize(
    "text, message",
    [
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
    ],
)
def test_malformed_instructions_are_refused_with_a_reason(text, message):
    with pytest.raises(InstructionError, match=message):
        parse_order_instruction(text, GATEWAYS)


# Every refusal, word for word: the chat shows the text after "Order not sent: ".
@pytest.mark.parametrize(
    "text, gateways, message",
    [
        ("EP,1,l,o,m,CQG,None", GATEWAYS, "an order instruction has 8 comma-separated pieces, got 7"),
        ("", GATEWAYS, "an order instruction has 8 comma-separated pieces, got 1"),
        (" ,1,l,o,m,CQG,None,None", GATEWAYS, "security_code is empty"),
        ("EP,1.5,l,o,m,CQG,None,None", GATEWAYS, "quantity must be a whole number, got '1.5'"),
        ("EP,,l,o,m,CQG,None,None", GATEWAYS, "quantity must be a whole number, got ''"),
        ("EP,-2,l,o,m,CQG,None,None", GATEWAYS, "quantity must be positive, got -2"),
        ("EP,1,l,o,m,cqg,None,None", GATEWAYS, "unknown gateway 'cqg' (known: CQG)"),
        ("EP,1,l,o,m,CQG,None,None", [], "unknown gateway 'CQG' (known: none)"),
        ("EP,1,b,o,m,CQG,None,None", GATEWAYS, "direction must be one of l/s, got 'b'"),
        ("EP,1,l,open,m,CQG,None,None", GATEWAYS, "offset must be one of o/c, got 'open'"),
        ("EP,1,l,o,market,CQG,None,None", GATEWAYS, "order_type must be one of m/l/s, got 'market'"),
        ("EP,1,l,o,l,CQG,4,5e,None", GATEWAYS, "an order instruction has 8 comma-separated pieces, got 9"),
        ("EP,1,l,o,l,CQG,4500..5,None", GATEWAYS, "price must be a number or None, got '4500..5'"),
        ("EP,1,l,o,l,CQG,inf,None", GATEWAYS, "price must be a positive number, got 'inf'"),
        ("EP,1,l,o,l,CQG,0,None", GATEWAYS, "price must be a positive number, got '0'"),
        ("EP,1,l,o,l,CQG,-4500,None", GATEWAYS, "price must be a positive number, got '-4500'"),
        ("EP,1,l,o,s,CQG,4500,abc", GATEWAYS, "stop_price must be a number or None, got 'abc'"),
        ("EP,1,l,o,s,CQG,4500,nan", GATEWAYS, "stop_price must be a positive number, got 'nan'"),
        ("EP,1,l,o,s,CQG,4500,0", GATEWAYS, "stop_price must be a positive number, got '0'"),
        ("EP,1,l,o,l,CQG,,None", GATEWAYS, "a LIMIT order needs a price"),
        ("EP,1,l,o,s,CQG,None,4500", GATEWAYS, "a STOP order needs a price"),
        ("EP,1,l,o,s,CQG,4500,none", GATEWAYS, "a STOP order needs a stop_price"),
    ],
    ids=[
        "too-few",
        "empty-text",
        "blank-code",
        "fractional-quantity",
        "no-quantity",
        "negative-quantity",
        "gateway-case",
        "no-gateways",
        "direction",
        "offset",
        "order-type",
        "comma-in-price",
        "price-text",
        "price-inf",
        "price-zero",
        "price-negative",
        "stop-text",
        "stop-nan",
        "stop-zero",
        "limit-no-price",
        "stop-no-price",
        "stop-no-stop-price",
    ],
)
def test_every_refusal_says_exactly_why(text, gateways, message):
    with pytest.raises(InstructionError) as refused:
        parse_order_instruction(text, gateways)
    assert str(refused.value) == message


def test_a_refusal_is_a_value_error():
    # The chat's caller catches ValueError for bad input; the refusal must be one.
    with pytest.raises(ValueError):
        parse_order_instruction("EP,1,l,o,m,CQG,None", GATEWAYS)


@pytest.mark.parametrize(
    "text",
    ["EP,1,l,o,l,CQG,4500,None", "EP,1,L,O,L,CQG,4500,NONE", "EP,1,l,o,m,CQG,,"],
    ids=["lower", "upper", "blank-prices"],
)
def test_letters_and_none_are_read_in_either_case(text):
    instruction = parse_order_instruction(text, GATEWAYS)
    assert instruction.direction is Direction.LONG and instruction.offset is Offset.OPEN
    assert instruction.stop_price is None
