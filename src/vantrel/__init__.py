"""vantrel: least squares with many high-dimensional fixed effects."""
