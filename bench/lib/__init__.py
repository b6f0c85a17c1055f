"""The parts of bench/run, one concern to a module."""
