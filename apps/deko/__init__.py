"""The gateway's Deko application package.

The host runs with this folder on its module path as well, so its models are also
importable as the top-level package ``models`` (``models.objects.response``).
"""
import os
import sys

_here = os.path.dirname(os.path.abspath(__file__))
if _here not in sys.path:
    sys.path.append(_here)
