"""vantrel: least squares with many high-dimensional fixed effects."""

from vantrel.tolvane import calculate_fe_redundancies, stata_style_summary, tolvane

__all__ = ["tolvane", "calculate_fe_redundancies", "stata_style_summary"]
