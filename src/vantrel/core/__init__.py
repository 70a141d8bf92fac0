"""Engine-neutral stages every estimator shares: the sample, dense ids, the absorption, least
squares with collinearity, fit statistics, fixed-effect recovery, the shared arguments."""
