"""Claims on the usage ledger's rows, on a real SQLite file."""

import time

from velto_ai_sdk.api.ledger import Claim, Ledger


def test_a_claim_holds_a_row_for_its_holder_until_it_runs_out(tmp_path):
    ledger = Ledger(tmp_path / "usage.sqlite3")
    first, second = (ledger.add("q%d" % i, i, 0.5, "r%d" % i, "key") for i in (1, 2))
    holder, rival = Claim.fresh(60), Claim.fresh(60)
    assert ledger.claim_next("key", holder, 0).row_id == first
    assert ledger.claim_next("key", rival, 0).row_id == second  # the held row is passed over
    assert ledger.claim_next("key", Claim.fresh(60), 0) is None
    assert ledger.claim_next("other key", Claim.fresh(60), 0) is None

    ledger.release(first, rival, "not its claim")  # a rival cannot free what it does not hold
    assert ledger.claim_next("key", Claim.fresh(60), 0) is None
    ledger.release(first, holder, "HTTP 503")
    taker = Claim.fresh(60)
    assert ledger.claim_next("key", taker, 0).row_id == first

    ledger.release(first, taker, "HTTP 503")
    assert ledger.claim_next("key", Claim("dead", time.time() - 1), 0).row_id == first
    assert ledger.claim_next("key", Claim.fresh(60), 0).row_id == first  # that claim had run out
    ledger.mark_sent(first)
    assert ledger.summary()["unsent"] == 1
