"""Puts a folder on this interpreter's path for good: NAME.pth in its site-packages, or in its user site
when that is not writable. Run by the interpreter concerned: python scripts/onpath.py NAME FOLDER."""
import os
import site
import sys
import sysconfig

name, folder = sys.argv[1:]
places = [sysconfig.get_paths()["purelib"]] + ([site.getusersitepackages()] if site.ENABLE_USER_SITE else [])
for place in places:
    try:
        os.makedirs(place, exist_ok=True)
        with open(os.path.join(place, name + ".pth"), "w") as pth:
            pth.write(folder + "\n")
        break
    except OSError:
        continue
else:
    sys.exit("cannot write %s.pth into %s; put %s on the path of %s" % (name, " or ".join(places), folder, sys.executable))
