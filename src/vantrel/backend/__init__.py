"""Native absorption kernel (quarnet) and its index helpers (morlisk)."""
