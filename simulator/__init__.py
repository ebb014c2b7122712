"""Simulated Deko retailer service and a terminal reply listener, for tests and demos."""
from simulator.listener import TerminalListener
from simulator.provider import ProviderSimulator

__all__ = ["ProviderSimulator", "TerminalListener"]
