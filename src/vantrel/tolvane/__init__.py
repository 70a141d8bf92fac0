"""The estimation driver."""
