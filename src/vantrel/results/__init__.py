"""What estimators return: the fit classes (a base every estimator shares, one class per
estimator) and the regression table."""
