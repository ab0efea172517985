# What both modules need to start a suite program on the managed host.
from __future__ import annotations

import os
import pwd


def suite_environment(module, program):
    """The environment a suite program runs in: KESTRIX_HOME as asked, and
    the program's own directory first on PATH, so that the programs it
    starts (config_check, diff) are the ones installed beside it."""
    env = {}
    if module.params.get("kestrix_home"):
        env["KESTRIX_HOME"] = module.params["kestrix_home"]
    env["PATH"] = os.pathsep.join([os.path.dirname(program), os.environ.get("PATH", "/usr/bin:/bin")])
    return env


def find_program(module, name):
    """The path of a suite program: in bin_dir when given, else along PATH."""
    bin_dir = module.params.get("bin_dir")
    return module.get_bin_path(name, required=True, opt_dirs=[bin_dir] if bin_dir else [])


def read_text(path):
    """A file's text, or None when it does not exist."""
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", errors="surrogateescape")
    except FileNotFoundError:
        return None


def main_config_file(module):
    """The suite's main file, qzt_config in the configuration directory of
    the product home: KESTRIX_HOME, else the home of the account "kestrix"."""
    home = module.params.get("kestrix_home") or os.environ.get("KESTRIX_HOME")
    if not home:
        try:
            home = pwd.getpwnam("kestrix").pw_dir
        except KeyError:
            module.fail_json(msg="no product home: give path or kestrix_home (there is no account \"kestrix\")")
    return os.path.join(home, "qzt", "etc", "qzt_config")
