"""The estimation driver."""

from vantrel.tolvane._tolvane import calculate_fe_redundancies, tolvane

__all__ = ["tolvane", "calculate_fe_redundancies"]
