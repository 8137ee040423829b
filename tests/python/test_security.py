"""morvex_trader.core.security: the immutable security records."""

from __future__ import annotations

import copy
import gc
import pickle
import sys
import weakref

import pytest
from hypothesis import given, strategies as st

from morvex_trader.core import security
from morvex_trader.core.constants import Exchange
from morvex_trader.core.security import Commodity, Currency, Futures, Security, Stock

KINDS = [Stock, Currency, Commodity, Futures]
ALL = [Security, *KINDS]
FIELDS = ("code", "security_name", "lot_size", "exchange", "expiry_date", "quote_currency")


def fields_of(record) -> tuple:
    return tuple(getattr(record, name) for name in FIELDS)


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize(
    "kind, lot_size, exchange",
    [
        (Security, None, None),
        (Stock, 1, Exchange.SEHK),
        (Currency, 1000, Exchange.IDEALPRO),
        (Commodity, 1000, Exchange.IDEALPRO),
        (Futures, 1000, Exchange.SMART),
    ],
    ids=lambda v: getattr(v, "__name__", None),
)
def test_defaults_of_each_kind(kind, lot_size, exchange):
    record = kind("700", "Tencent")
    assert fields_of(record) == ("700", "Tencent", lot_size, exchange, None, "")
    assert record.exchange is exchange  # the host's member itself, shared


@pytest.mark.parametrize("kind", ALL, ids=lambda k: k.__name__)
def test_positional_and_named_construction_agree(kind):
    values = ("ESZ6", "E-mini", 50, Exchange.SMART, "20261218", "USD")
    positional = kind(*values)
    named = kind(**dict(zip(FIELDS, values)))
    mixed = kind("ESZ6", "E-mini", quote_currency="USD", expiry_date="20261218", exchange=Exchange.SMART, lot_size=50)
    for record in (positional, named, mixed):
        assert fields_of(record) == values
        assert type(record) is kind and isinstance(record, Security)


def test_values_are_stored_unvalidated():
    lot = ["not", "an", "int"]
    record = Stock("", 7, lot, "NYSE", 20261231, None)
    assert fields_of(record) == ("", 7, lot, "NYSE", 20261231, None)
    assert record.lot_size is lot


@pytest.mark.parametrize("kind", ALL, ids=lambda k: k.__name__)
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda k: k(), r"^{}\(\) missing 2 required positional arguments: 'code' and 'security_name'$"),
        (lambda k: k("700"), r"^{}\(\) missing 1 required positional argument: 'security_name'$"),
        (lambda k: k(security_name="Tencent"), r"^{}\(\) missing 1 required positional argument: 'code'$"),
        (lambda k: k("700", "Tencent", lot_sise=1), r"^{}\(\) got an unexpected keyword argument 'lot_sise'$"),
        (
            lambda k: k("700", "Tencent", 1, None, None, "", "extra"),
            r"^{}\(\) takes from 2 to 6 positional arguments but 7 were given$",
        ),
        (lambda k: k("700", "Tencent", code="701"), r"^{}\(\) got multiple values for argument 'code'$"),
        (lambda k: k.__new__(k, "700", code="701"), r"^{}\(\) got multiple values for argument 'code'$"),
        (lambda k: k.__new__(k, "700", **{"lot": 1}), r"^{}\(\) got an unexpected keyword argument 'lot'$"),
    ],
    ids=["none", "no-name", "no-code", "unknown-keyword", "too-many", "duplicate", "new-duplicate", "new-unknown"],
)
def test_bad_construction_is_a_type_error_naming_the_problem(kind, call, message):
    with pytest.raises(TypeError, match=message.format(kind.__name__)):
        call(kind)


def test_post_construction_step_exists_on_the_four_kinds_only():
    assert not hasattr(Security, "__post_init__")
    for kind in KINDS:
        assert kind("700", "Tencent").__post_init__() is None


def test_module_binds_the_hosts_exchange():
    assert security.Exchange is Exchange
    assert set(security.__all__) == {"Security", "Stock", "Currency", "Commodity", "Futures"}


# ---------------------------------------------------------------- equality and hashing

S = Exchange.SEHK
EQUALITY = [
    # (left, right, equal)
    (Stock("700", "T"), Stock("700", "T"), True),
    (Stock("700", "T"), Stock("700", "T", lot_size=100), False),
    (Stock("700", "T"), Stock("700", "T", expiry_date="2026"), False),
    (Stock("700", "T"), Stock("700", "T", quote_currency="HKD"), False),
    (Stock("700", "T"), Stock("701", "T"), False),
    (Stock("700", "T"), Stock("700", "T2"), False),
    (Stock("700", "T"), Stock("700", "T", exchange=Exchange.SMART), False),
    (Stock("700", "T", 1, S), Futures("700", "T", 1, S), False),
    (Currency("EUR", "Euro"), Commodity("EUR", "Euro"), False),
    (Security("700", "T", 1, S), Security("700", "T", 2, S, "2026", "HKD"), True),
    (Security("700", "T", exchange=S), Stock("700", "T", 100, S, "2026", "HKD"), True),
    (Security("700", "T", exchange=S), Futures("700", "T", exchange=S), True),
    (Security("700", "T", exchange=S), Stock("700", "T", exchange=Exchange.SMART), False),
    (Security("700", "T", exchange=S), Stock("701", "T"), False),
    (Security("700", "T"), Security("700", "T", lot_size=5), True),
    (Security("700", "T"), Security("700", "T", exchange=S), False),
    (Security("700", "T"), Stock("700", "T", exchange=None), True),
    (Security(700, "T", exchange=S), Security("700", "T", exchange=S), False),
]


@pytest.mark.parametrize(
    "left, right, equal",
    EQUALITY,
    ids=[
        "same-stock",
        "lot-size",
        "expiry",
        "quote-currency",
        "code",
        "name",
        "exchange",
        "stock-vs-futures",
        "currency-vs-commodity",
        "base-ignores-rest",
        "base-vs-stock",
        "base-vs-futures",
        "base-vs-other-exchange",
        "base-vs-other-code",
        "base-both-absent",
        "base-absent-vs-sehk",
        "base-absent-vs-stock-absent",
        "int-code-is-not-text-code",
    ],
)
def test_equality_rules_from_both_sides(left, right, equal):
    assert (left == right) is equal and (right == left) is equal
    assert (left != right) is (not equal) and (right != left) is (not equal)


def test_base_rule_reads_the_exchange_value_not_the_member():
    class Venue:
        def __init__(self, value):
            self.value = value

    assert Security("700", "T", exchange=Venue("SEHK")) == Stock("700", "T")
    assert hash(Security("700", "T", exchange=Venue("SEHK"))) == hash(Security("700", "T", exchange=S))
    with pytest.raises(AttributeError):
        Security("700", "T", exchange="SEHK") == Stock("700", "T")


class LooksLikeASecurity:
    code, security_name, exchange = "700", "T", Exchange.SEHK


@pytest.mark.parametrize("kind", ALL, ids=lambda k: k.__name__)
@pytest.mark.parametrize(
    "other",
    ["700", None, 0, ("700", "T", 1, S, None, ""), LooksLikeASecurity()],
    ids=["text", "none", "int", "tuple", "duck"],
)
def test_comparison_with_a_non_security_is_unequal(kind, other):
    record = kind("700", "T", 1, S)
    assert not record == other and not other == record
    assert record != other and other != record


def test_records_have_no_order():
    with pytest.raises(TypeError):
        Stock("700", "T") < Stock("701", "T")


def test_base_hash_is_the_hash_of_its_text():
    assert hash(Security("123", "ABC Holdings", exchange=S)) == hash("ABC Holdings|123|SEHK")
    assert hash(Security(123, "ABC Holdings", exchange=S)) == hash("ABC Holdings|123|SEHK")
    assert hash(Security("123", "ABC Holdings")) == hash("ABC Holdings|123|None")
    # lot_size takes no part, so even an unhashable one is fine
    assert hash(Security("1", "A", [1], S)) == hash(Security("1", "A", 2, S))


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.__name__)
def test_kind_hash_combines_all_six_fields_in_order(kind):
    record = kind("700", "T", 100, S, "2026", "HKD")
    assert hash(record) == hash(kind("700", "T", 100, S, "2026", "HKD"))
    assert hash(record) == hash(fields_of(record))
    assert hash(kind("T", "700", 100, S, "2026", "HKD")) != hash(record)
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        hash(kind("700", "T", [100]))


def test_records_as_map_keys():
    prices = {Stock("700", "Tencent"): 1.0, Futures("700", "Tencent", 1, S): 2.0}
    assert len(prices) == 2
    assert prices[Stock("700", "Tencent")] == 1.0
    prices[Stock("700", "Tencent")] = 3.0
    assert len(prices) == 2 and prices[Stock("700", "Tencent")] == 3.0
    assert Stock("700", "Tencent", lot_size=5) not in prices
    assert len({Security("700", "T", n) for n in range(5)}) == 1


texts = st.sampled_from(["", "700", "ES", "é"])
records = st.builds(
    lambda kind, *values: kind(*values),
    st.sampled_from(ALL),
    texts,
    texts,
    st.sampled_from([None, 1, 1000]),
    st.sampled_from([None, *Exchange]),
    st.sampled_from([None, "2026"]),
    texts,
)


@given(records, records)
def test_equality_is_symmetric_and_hash_follows_it(a, b):
    assert (a == b) == (b == a) == (not a != b)
    if a == b and (type(a) is type(b)):
        assert hash(a) == hash(b)
    if type(a) is Security and type(b) is Security:
        assert (a == b) == ((a.code, a.security_name, a.exchange) == (b.code, b.security_name, b.exchange))


# ---------------------------------------------------------------- immutability


@pytest.mark.parametrize("kind", ALL, ids=lambda k: k.__name__)
@pytest.mark.parametrize("field", FIELDS)
@pytest.mark.parametrize("action", ["assign", "delete", "object-setattr"])
def test_fields_cannot_be_changed(kind, field, action):
    record = kind("700", "T", 100, S, "2026", "HKD")
    before = fields_of(record)
    with pytest.raises((AttributeError, TypeError)) as error:
        if action == "assign":
            setattr(record, field, "changed")
        elif action == "delete":
            delattr(record, field)
        else:
            object.__setattr__(record, field, "changed")
    if action != "object-setattr":
        assert error.type is AttributeError
        verb = "assign to" if action == "assign" else "delete"
        assert str(error.value) == f"cannot {verb} field '{field}'"
    assert fields_of(record) == before


def test_no_new_attributes_and_types_are_sealed():
    with pytest.raises(AttributeError):
        Stock("700", "T").note = "x"
    with pytest.raises(TypeError):
        Stock.__hash__ = lambda self: 0


# ---------------------------------------------------------------- Python expectations


def test_text_form_is_like_a_dataclass():
    assert repr(Stock("700", "Tencent")) == (
        "Stock(code='700', security_name='Tencent', lot_size=1, "
        "exchange=<Exchange.SEHK: 'SEHK'>, expiry_date=None, quote_currency='')"
    )
    assert str(Security("1", "A")) == (
        "Security(code='1', security_name='A', lot_size=None, exchange=None, expiry_date=None, quote_currency='')"
    )
    lot = []
    record = Futures("ES", "E-mini", lot)
    lot.append(record)
    assert repr(record).startswith("Futures(code='ES', security_name='E-mini', lot_size=[...]")


@pytest.mark.parametrize("kind", ALL, ids=lambda k: k.__name__)
@pytest.mark.parametrize(
    "clone",
    [
        copy.copy,
        copy.deepcopy,
        *(lambda r, p=p: pickle.loads(pickle.dumps(r, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)),
    ],
    ids=["copy", "deepcopy", *(f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1))],
)
def test_copies_keep_kind_and_equality(kind, clone):
    record = kind("700", "T", 100, S, "2026", "HKD")
    twin = clone(record)
    assert type(twin) is kind and twin == record and hash(twin) == hash(record)
    assert fields_of(twin) == fields_of(record)


def test_deepcopy_copies_mutable_fields():
    record = Stock("700", "T", [1, 2])
    twin = copy.deepcopy(record)
    assert twin == record and twin.lot_size is not record.lot_size


def test_fields_listing_and_pattern_matching():
    assert Stock._fields == Stock.__match_args__ == FIELDS
    match Futures("ES", "E-mini"):
        case Stock():
            pytest.fail("a Futures is not a Stock")
        case Futures(code, name, lot_size=lot):
            assert (code, name, lot) == ("ES", "E-mini", 1000)


class TaggedStock(Stock):
    post_init_calls: list = []

    def __post_init__(self):
        self.post_init_calls.append(self.code)
        self.tag = "watch"


class CustomSecurity(Security):
    pass


def test_python_subclasses_behave_as_their_kind():
    TaggedStock.post_init_calls.clear()
    record = TaggedStock("700", "T")
    assert TaggedStock.post_init_calls == ["700"] and record.tag == "watch"
    assert isinstance(record, Stock) and record == Stock("700", "T") and hash(record) == hash(Stock("700", "T"))
    assert record != Futures("700", "T", 1, S)
    assert repr(record).startswith("TaggedStock(code='700'")
    with pytest.raises(AttributeError):
        record.code = "701"
    twin = pickle.loads(pickle.dumps(record))
    assert type(twin) is TaggedStock and twin.tag == "watch" and twin == record
    # a subclass of the base kind follows the base rule
    assert CustomSecurity("700", "T", exchange=S) == Stock("700", "T", 5)
    assert hash(CustomSecurity("1", "A")) == hash("A|1|None")


# ---------------------------------------------------------------- memory


class FreshExchange:
    """An exchange only the leak test holds, so its reference count moves only with ours."""

    def __init__(self, value):
        self.value = value


def test_no_references_leak():
    code, name, lot, expiry, quote = "leak-code", "leak-name", object(), "leak-expiry", "leak-quote"
    exchange = FreshExchange("leak-exchange")
    # Shared objects (enum members, interned texts) are left out: other caches move their counts.
    tracked = (code, name, lot, expiry, quote, exchange, exchange.value)

    def exercise():
        record = Stock(code, name, lot, exchange, expiry, quote)
        twin = Stock(
            code=code, security_name=name, lot_size=lot, exchange=exchange, expiry_date=expiry, quote_currency=quote
        )
        base = Security(code, name, lot, exchange, expiry, quote)
        assert record == twin and base == record and not record != twin
        assert base != Stock(code, name, exchange=Exchange.SMART)
        hash(base), repr(record), record.__reduce__(), pickle.loads(pickle.dumps(record))
        for bad in [
            lambda: Stock(code, name, lot, exchange, expiry, quote, code),
            lambda: Stock(code, name, lot_size=lot, bad=quote),
            lambda: hash(Stock(code, name, [lot])),
        ]:
            try:
                bad()
            except TypeError:
                pass

    exercise()  # first use may fill caches outside this module (pickle, enum)
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(2000):
        exercise()
    assert [sys.getrefcount(o) for o in tracked] == before


def test_cycles_through_a_record_are_collected():
    class Marker:
        pass

    marker = Marker()
    holder = [marker]
    holder.append(Stock("700", "T", holder))
    alive = weakref.ref(marker)
    del marker, holder
    gc.collect()
    assert alive() is None


def test_deeply_nested_records_are_freed_without_overflowing_the_stack():
    record = None
    for n in range(200_000):
        record = Stock(str(n), "nested", record)
    del record
