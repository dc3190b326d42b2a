"""Simulated Tarvo2 robot: adbd, robot service and upgrade web service."""
