"""Prepared market data for the backtester: building (_prepare), storing (_store) and downloading (_depot)."""
