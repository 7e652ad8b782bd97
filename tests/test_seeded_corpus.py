"""Seeded runs reproduce tests/data/seeded-corpus.tsv bit for bit (see seeded_corpus.py)."""

import pathlib

import pytest

import seeded_corpus

DATA = pathlib.Path(__file__).parent / "data" / "seeded-corpus.tsv"


def stored(section):
    rows = [line.split("\t") for line in DATA.read_text().splitlines()]
    return [(key, value) for key, value in rows if key.split("/")[0] == section]


@pytest.mark.parametrize("section", list(seeded_corpus.SECTIONS))
def test_seeded_runs_reproduce_the_corpus(section):
    expected = stored(section)
    got = seeded_corpus.entries(section)
    assert [key for key, _ in got] == [key for key, _ in expected]
    differing = [key for (key, value), (_, stored_value) in zip(got, expected) if value != stored_value]
    assert not differing, f"{len(differing)} of {len(expected)} entries differ, among them {differing[:6]}"
