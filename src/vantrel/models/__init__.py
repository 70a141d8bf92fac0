"""The estimators, each written once over a row engine (`vantrel.engines`)."""
