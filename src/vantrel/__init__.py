"""vantrel: least squares with many high-dimensional fixed effects."""

from importlib import metadata as _metadata

from vantrel.inference.ssc import SSC, ssc
from vantrel.models.ols import feols
from vantrel.models.poisson import fepois
from vantrel.results.iv import IVResult
from vantrel.results.models import Models
from vantrel.results.ols import FeolsResult
from vantrel.results.plots import coefplot, iplot
from vantrel.results.poisson import FepoisResult
from vantrel.results.tables import etable
from vantrel.tolvane import calculate_fe_redundancies, stata_style_summary, tolvane

try:
    __version__ = _metadata.version("vantrel")
except _metadata.PackageNotFoundError:  # the source tree on sys.path, not installed
    __version__ = "0+unknown"

__all__ = [
    "feols",
    "FeolsResult",
    "IVResult",
    "fepois",
    "FepoisResult",
    "Models",
    "coefplot",
    "iplot",
    "etable",
    "SSC",
    "ssc",
    "tolvane",
    "calculate_fe_redundancies",
    "stata_style_summary",
]
