"""Inference after the least squares: the covariance estimators, their small-sample
corrections, degrees of freedom and p-values."""
