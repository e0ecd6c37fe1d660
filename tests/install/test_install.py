"""Installing Quillon as the guide tells users to, then using only what was installed:
the Python client put into a virtual environment by Debian's own python3 with no package
index, and the whole of Quillon put under a prefix by cmake --install."""

import os
import re
import shutil
import subprocess
import tempfile
import textwrap
import unittest

from support import REPO, SERVER, WAIT, wait_for

BUILD = os.environ.get("QUILLON_BUILD") or os.path.join(REPO, "build")
CMAKE = os.environ.get("QUILLON_CMAKE") or "cmake"
# The guide is written for Debian's python3, whatever python3 comes first on PATH here.
SYSTEM_PYTHON = "/usr/bin/python3"
# pip and venv take a while on a busy machine; still well below ctest's limit.
INSTALL_WAIT = 180


def guide_install_commands():
    """The shell lines of the guide's Install section that put the client into a venv."""
    with open(os.path.join(REPO, "docs", "guide.md"), encoding="utf-8") as guide:
        text = guide.read()
    section = text[text.index("\n## Install\n"):]
    section = section[:section.index("\n## ", 1)]
    for block in re.findall(r"```sh\n(.*?)```", section, re.S):
        if "-m venv" in block:
            return [line for line in block.splitlines() if line.strip() and not line.startswith("#")]
    raise AssertionError("the guide's Install section shows no venv command")


def clean_env(home, **extra):
    """An environment with nothing of the caller's Python setup (test.sh puts the checkout's
    client on PYTHONPATH) and no quillon-server on PATH."""
    env = {"HOME": home, "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    env.update(extra)
    return env


# Creates an object, calls a member, and says which package and server answered.
TRIVIAL_SCRIPT = textwrap.dedent("""
    import quillon
    fo = quillon.Dispatch("Quillon.FileOps")
    print(fo.StoreString("greeting", "hello"), fo.GetStoreSize("greeting"))
    print(quillon.__file__)
""")


class InstalledTestCase(unittest.TestCase):
    def setUp(self):
        if not os.access(SYSTEM_PYTHON, os.X_OK):
            self.skipTest("needs Debian's %s" % SYSTEM_PYTHON)
        self.folder = tempfile.mkdtemp(prefix="quillon-install-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.home = os.path.join(self.folder, "home")
        os.mkdir(self.home)
        self.socket = os.path.join(self.folder, "run", "q.sock")

    def run_client(self, python, script, **env):
        """Runs a script whose first call starts a server on a private socket; the server
        leaves a second after the script has."""
        done = subprocess.run([python, "-c", script], capture_output=True, text=True, timeout=WAIT * 3,
                              env=clean_env(self.home, QUILLON_SOCKET=self.socket, QUILLON_IDLE_EXIT="1", **env))
        self.addCleanup(wait_for, lambda: not os.path.exists(self.socket))
        self.assertEqual(done.returncode, 0, done.stderr + self.server_log())
        return done.stdout.splitlines()

    def server_log(self):
        try:
            with open(self.socket + ".log", encoding="utf-8") as log:
                return log.read()
        except OSError:
            return ""


class GuideVenvInstallTest(InstalledTestCase):
    def test_the_guide_command_installs_the_client_offline_with_debian_python(self):
        # A copy of the checkout, so that pip's build files stay out of the real one.
        checkout = os.path.join(self.folder, "checkout")
        shutil.copytree(os.path.join(REPO, "clients", "python"), os.path.join(checkout, "clients", "python"),
                        ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info", "tests"))
        commands = guide_install_commands()
        self.assertIn(SYSTEM_PYTHON, commands[0])
        # No package index at all: everything pip needs must come from Debian's packages.
        installed = subprocess.run(["bash", "-euc", "\n".join(commands)], cwd=checkout, capture_output=True,
                                   text=True, timeout=INSTALL_WAIT,
                                   env=clean_env(self.home, PIP_NO_INDEX="1", PIP_NO_CACHE_DIR="1",
                                                 PIP_DISABLE_PIP_VERSION_CHECK="1"))
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)

        venv = os.path.join(self.home, ".venvs", "quillon")
        status, package = self.run_client(os.path.join(venv, "bin", "python"), TRIVIAL_SCRIPT, QUILLON_SERVER=SERVER)
        self.assertEqual(status, "0 5")
        self.assertTrue(package.startswith(os.path.join(venv, "lib", "")), package)


class PrefixInstallTest(InstalledTestCase):
    def test_an_installed_prefix_works_on_its_own(self):
        prefix = os.path.join(self.folder, "prefix")
        env = dict(os.environ)
        env.pop("DESTDIR", None)
        installed = subprocess.run([CMAKE, "--install", BUILD, "--prefix", prefix], capture_output=True, text=True,
                                   timeout=INSTALL_WAIT, env=env)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        server = os.path.join(prefix, "bin", "quillon-server")
        cli = os.path.join(prefix, "bin", "quillon")
        python_dir = os.path.join(prefix, "lib", "python3", "dist-packages")
        for path in (server, cli):
            self.assertTrue(os.access(path, os.X_OK), path)

        # The command line finds the sample database of its own prefix.
        located = subprocess.run([cli, "locate", "192.0.2.70", "--json"], capture_output=True, text=True,
                                 timeout=WAIT, env=clean_env(self.home))
        self.assertEqual(located.returncode, 0, located.stderr)
        self.assertIn('"San Francisco"', located.stdout)

        # Debian's python3 with the installed package, no QUILLON_SERVER and no server on
        # PATH: the package starts the server of its own prefix.
        script = TRIVIAL_SCRIPT + textwrap.dedent("""
            info = quillon.Dispatch("Quillon.IPInfo")
            print(info.EnableLocationData(%r), info.GetLocationFromIP("203.0.113.10").City)
        """ % os.path.join(prefix, "share", "quillon", "GEOIPCITY.DAT"))
        status, package, location = self.run_client(SYSTEM_PYTHON, script, PYTHONPATH=python_dir)
        self.assertEqual(status, "0 5")
        self.assertEqual(package, os.path.join(python_dir, "quillon", "__init__.py"))
        self.assertEqual(location, "0 Berlin")

        # The units: systemd starts the installed server on the socket clients look for by
        # default, $XDG_RUNTIME_DIR/quillon/quillon.sock (%t is XDG_RUNTIME_DIR).
        units = os.path.join(prefix, "lib", "systemd", "user")
        with open(os.path.join(units, "quillon.service"), encoding="utf-8") as unit:
            exec_start = re.search(r"^ExecStart=(\S+)", unit.read(), re.M)
        self.assertEqual(exec_start and exec_start.group(1), server)
        with open(os.path.join(units, "quillon.socket"), encoding="utf-8") as unit:
            listen = re.search(r"^ListenStream=(\S+)", unit.read(), re.M)
        default = subprocess.run([SYSTEM_PYTHON, "-c", "import quillon._client as c; print(c.socket_path())"],
                                 capture_output=True, text=True, timeout=WAIT,
                                 env=clean_env(self.home, PYTHONPATH=python_dir, XDG_RUNTIME_DIR="/RUNTIME"))
        self.assertEqual(listen and listen.group(1).replace("%t", "/RUNTIME"), default.stdout.strip())

        # The manual page describes every verb the command lists.
        helped = subprocess.run([cli, "--help"], capture_output=True, text=True, timeout=WAIT)
        verbs = re.findall(r"^  (\w+) {2,}", helped.stdout.split("Subcommands:")[1], re.M)
        self.assertIn("locate", verbs)
        with open(os.path.join(prefix, "share", "man", "man1", "quillon.1"), encoding="utf-8") as page:
            entries = re.findall(r'^\.TP\n\.BI? "?(\w+)', page.read(), re.M)
        self.assertEqual([verb for verb in verbs if verb not in entries], [])


if __name__ == "__main__":
    unittest.main()
