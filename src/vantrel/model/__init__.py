"""The formula front door: `feols`, its result class and the small-sample corrections."""

from vantrel.model.estimate import feols
from vantrel.model.ssc import PRESETS, SSC, ssc
from vantrel.results.ols import FeolsResult

__all__ = ["feols", "FeolsResult", "SSC", "ssc", "PRESETS"]
