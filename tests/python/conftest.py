import sys
from pathlib import Path

# The acquisition writer lives beside this directory.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
