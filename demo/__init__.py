"""The demos: the console road (main.py) and the desktop window (gui.py)."""
