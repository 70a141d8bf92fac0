"""The estimation driver."""

from vantrel.tolvane._tolvane import calculate_fe_redundancies, stata_style_summary, tolvane

__all__ = ["tolvane", "calculate_fe_redundancies", "stata_style_summary"]
