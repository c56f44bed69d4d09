"""scripts/install-deps against a package mirror part-way through a sync, played by stand-ins
for apt-get, dpkg and dpkg-query put first on PATH: an update that reads some lists and fails,
and every :i386 package refused. The property: a group apt cannot install stops only what
needs it, its reason is apt's own, and only a Linux build that cannot be set up is a failure."""
import os
import subprocess
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

# apt-get: the update fails as a mirror mid-sync makes it fail; an install fails for the
# packages named in REFUSED and for any :i386 package, and succeeds (marking the packages
# installed) otherwise.
APT_GET = r"""#!/bin/sh
echo "$*" >>"$FAKE/calls"
case " $* " in
  *" update "*)
    echo "E: Failed to fetch http://mirror/dists/x-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
esac
for p in "$@"; do
  case "$p" in -*|install) continue ;; esac
  case " $REFUSED " in *" $p "*) echo "E: Unable to locate package $p"; exit 100 ;; esac
  case "$p" in *:i386)
    echo " $p : Depends: libwine:i386 (= 8.0) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
  esac
done
for p in "$@"; do echo "$p" >>"$FAKE/installed"; done
"""
# dpkg-query: installed are the packages the stand-in apt-get installed, and every package
# not named in MISSING.
DPKG_QUERY = r"""#!/bin/sh
p=$(eval echo "\${$#}")
if grep -qx "$p" "$FAKE/installed" 2>/dev/null; then echo "install ok installed"; exit 0; fi
case " $MISSING " in *" $p "*) exit 1 ;; esac
echo "install ok installed"
"""
DPKG = """#!/bin/sh
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
"""


class InstallDeps(unittest.TestCase):
    def run_script(self, missing, refused=""):
        fake = tempfile.mkdtemp()
        for name, text in (("apt-get", APT_GET), ("dpkg-query", DPKG_QUERY), ("dpkg", DPKG),
                           ("sudo", '#!/bin/sh\nexec "$@"\n')):
            with open(os.path.join(fake, name), "w") as f:
                f.write(text)
            os.chmod(os.path.join(fake, name), 0o755)
        report = os.path.join(fake, "install-deps.txt")
        env = dict(os.environ, PATH=fake + os.pathsep + os.environ["PATH"], FAKE=fake,
                   MISSING=missing, REFUSED=refused, TALLYBOOK_DEPS_REPORT=report,
                   TALLYBOOK_APT_RETRY_SECONDS="0")
        done = subprocess.run(["bash", os.path.join(ROOT, "scripts", "install-deps")], env=env,
                              capture_output=True, text=True, timeout=120)
        with open(os.path.join(fake, "calls")) as f:
            calls = f.read().splitlines()
        lines = {}
        if os.path.exists(report):
            with open(report) as f:
                lines = dict(line.rstrip("\n").split("\t", 1) for line in f)
        return done, calls, lines

    def test_wine_refused_leaves_the_rest_installed(self):
        done, calls, report = self.run_script("cmake clang g++-mingw-w64-i686-posix wine32:i386")
        self.assertEqual(done.returncode, 0, done.stderr)
        # The update is tried three times, once for all groups; then every group is installed
        # on its own, the one with the refused package last and alone.
        self.assertEqual([c for c in calls if "update" in c.split()], ["update -q"] * 3)
        installs = [c.split()[-1] for c in calls if "install" in c.split()]
        self.assertEqual(installs, ["cmake", "clang", "g++-mingw-w64-i686-posix", "wine32:i386"])
        self.assertEqual(list(report), ["wine"])
        self.assertIn("wine32:i386 : Depends: libwine:i386", report["wine"])
        self.assertIn("Mirror sync in progress?", report["wine"])
        self.assertIn("not installed: the wine group", done.stderr)

    def test_no_linux_build_is_a_failure(self):
        done, _, report = self.run_script("cmake wine32:i386", refused="cmake")
        self.assertNotEqual(done.returncode, 0)
        self.assertEqual(sorted(report), ["build", "wine"])
        self.assertIn("Unable to locate package cmake", report["build"])


if __name__ == "__main__":
    unittest.main()
