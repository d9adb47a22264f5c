"""Support code that the tests (and the benchmarks) import; pytest collects
nothing here."""
