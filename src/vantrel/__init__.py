"""vantrel: least squares with many high-dimensional fixed effects."""

from vantrel.model import SSC, FeolsResult, feols, ssc
from vantrel.tolvane import calculate_fe_redundancies, stata_style_summary, tolvane

__all__ = ["feols", "FeolsResult", "SSC", "ssc", "tolvane", "calculate_fe_redundancies", "stata_style_summary"]
