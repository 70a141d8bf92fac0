"""Reading a model: the formula, and the regressors it makes from a table."""
