#!/usr/bin/python
# Runs the suite's configuration upgrade on a managed host: a preview first,
# which tells whether the upgrade would change anything and what; the real
# run only when it would, so that a second run is "ok".
from __future__ import annotations

DOCUMENTATION = r"""
---
module: kestrix_upgrade
short_description: Upgrade a Kestrix suite configuration file with config_upgrade
version_added: "5.0.0"
description:
  - Merges the customer's configuration file of the previous release into the
    new release's factory file, as the upgrade rules file says, by running
    C(config_upgrade) on the managed host.
  - Every run starts with a preview (C(config_upgrade -n)) in a private
    directory. When the result would equal the file it replaces, nothing is
    run and the task is C(ok); otherwise the upgrade runs for real and the
    task is C(changed).
  - In check mode only the preview runs. In diff mode the task shows the
    file before and after the upgrade.
  - The decision report of the run (C(config_upgrade --report)), which says
    for every keyword of the previous file what the upgrade did with it and
    which rule decided it, is returned as I(report).
  - A failed upgrade (or, in check mode, a preview that fails) fails the
    task; I(msg) holds the errors of the report.
options:
  new_file:
    description:
      - The new (factory) configuration file (C(-c)). A name that starts with
        neither C(/) nor C(.) is taken in the configuration directory
        C($KESTRIX_HOME/qzt/etc/).
    type: str
    required: true
  previous_file:
    description: The customer's previous configuration file (C(-C)); derived by C(config_upgrade) when not given.
    type: path
  rules_file:
    description: The upgrade rules file (C(-u)); derived when not given.
    type: path
  new_syntax_file:
    description: The syntax file of the new file (C(-s)).
    type: path
  previous_syntax_file:
    description: The syntax file of the previous file (C(-S)).
    type: path
  version:
    description: The release being installed (C(-v)).
    type: str
  previous_version:
    description: The release being replaced (C(-V)).
    type: str
  output:
    description:
      - Write the result to this file (C(-o)); the new file is left as it is.
        The task is C(changed) when this file's contents change.
    type: path
  force:
    description: Go on despite errors and save the result anyway (C(-X)).
    type: bool
    default: false
  test_mode:
    description: Run C(config_check) without file existence checks (C(-T)).
    type: bool
    default: false
  kestrix_home:
    description: The product home (C(KESTRIX_HOME)) on the managed host.
    type: path
  bin_dir:
    description:
      - The directory of C(config_upgrade) and C(config_check); else they are
        found along C(PATH).
    type: path
notes:
  - Supports check mode and diff mode.
author:
  - Kestrix suite developers
"""

EXAMPLES = r"""
- name: Preview the upgrade of the main configuration file
  kestrix.suite.kestrix_upgrade:
    new_file: qzt_config
    kestrix_home: /opt/kestrix
  check_mode: true
  register: preview

- name: Upgrade it, keeping the new file untouched on any error
  kestrix.suite.kestrix_upgrade:
    new_file: qzt_config
    kestrix_home: /opt/kestrix
    bin_dir: /opt/kestrix/bin

- name: Upgrade into a separate file for review
  kestrix.suite.kestrix_upgrade:
    new_file: /opt/kestrix/qzt/etc/qzt_config
    output: /var/tmp/qzt_config.upgraded
"""

RETURN = r"""
report:
  description: The decision report of the run (of the preview in check mode, or when nothing was to change).
  returned: when config_upgrade got as far as reading its inputs
  type: dict
rc:
  description: The exit status of config_upgrade (0 completed, 1 anything else).
  returned: always
  type: int
stderr_lines:
  description: What config_upgrade reported on standard error.
  returned: always
  type: list
  elements: str
target:
  description: The file that holds (or would hold) the result.
  returned: when the report names it
  type: str
"""

import json
import os
import re
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kestrix.suite.plugins.module_utils.kestrix import (
    find_program, read_text, suite_environment)

OPTION_FLAGS = (
    ("new_file", "-c"), ("previous_file", "-C"), ("rules_file", "-u"), ("new_syntax_file", "-s"),
    ("previous_syntax_file", "-S"), ("version", "-v"), ("previous_version", "-V"), ("output", "-o"),
)
SWITCH_FLAGS = (("force", "-X"), ("test_mode", "-T"))
HUNK = re.compile(r"^@@ -(\d+)(?:,(\d+))? \+\d+(?:,\d+)? @@")


def command_line(program, params, preview, report_path):
    argv = [program]
    for name, flag in OPTION_FLAGS:
        if params[name] is not None:
            argv += [flag, params[name]]
    argv += [flag for name, flag in SWITCH_FLAGS if params[name]]
    if preview:
        argv.append("-n")
    return argv + ["--report", report_path]


def apply_unified_diff(text, diff):
    """The text that `diff -u` says the result is: the preview prints the
    difference, not the result, and the result is what the task compares."""
    source = text.splitlines(keepends=True)
    result, pos, last = [], 0, None
    for line in diff.splitlines(keepends=True):
        hunk = HUNK.match(line)
        if hunk:
            start, count = int(hunk.group(1)), int(hunk.group(2) or 1)
            first = start - 1 if count else start
            result.extend(source[pos:first])
            pos = first
            last = "@"
            continue
        if last is None:
            continue  # the "---" and "+++" lines that name the two files
        tag, body = line[:1], line[1:]
        if tag == " ":
            result.append(source[pos])
            pos += 1
        elif tag == "-":
            pos += 1
        elif tag == "+":
            result.append(body)
        elif tag == "\\" and last == "+":
            result[-1] = result[-1].rstrip("\n")
        last = tag
    result.extend(source[pos:])
    return "".join(result)


def run_upgrade(module, program, env, preview, scratch):
    report_path = os.path.join(scratch, "preview.json" if preview else "run.json")
    rc, out, err = module.run_command(command_line(program, module.params, preview, report_path),
                                      environ_update=env)
    report = None
    if os.path.exists(report_path):
        with open(report_path, encoding="utf-8") as f:
            report = json.load(f)
    return rc, out, err, report


def error_messages(report, err):
    """The report's ERROR texts, one line each; standard error when there is no report."""
    if not report:
        return err.strip()
    errors = [r["message"].replace("\n", " ") for r in report.get("reports", []) if r.get("severity") == "ERROR"]
    return "; ".join(errors) or report.get("run", {}).get("outcome", "failed")


def fail(module, what, rc, err, report, **extra):
    module.fail_json(msg="%s (exit status %d): %s" % (what, rc, error_messages(report, err)),
                     rc=rc, report=report, stderr_lines=err.splitlines(), **extra)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            new_file=dict(type="str", required=True),
            previous_file=dict(type="path"),
            rules_file=dict(type="path"),
            new_syntax_file=dict(type="path"),
            previous_syntax_file=dict(type="path"),
            version=dict(type="str"),
            previous_version=dict(type="str"),
            output=dict(type="path"),
            force=dict(type="bool", default=False),
            test_mode=dict(type="bool", default=False),
            kestrix_home=dict(type="path"),
            bin_dir=dict(type="path"),
        ),
        supports_check_mode=True,
    )
    program = find_program(module, "config_upgrade")
    env = suite_environment(module, program)
    with tempfile.TemporaryDirectory(prefix="kestrix_upgrade.") as scratch:
        rc, diff, err, report = run_upgrade(module, program, env, True, scratch)
        if rc != 0 or report is None:
            fail(module, "the upgrade preview failed", rc, err, report)
        files = report["files"]
        new_text = read_text(files["new"]) or ""
        target = files.get("output") or files["new"]
        before = read_text(target)
        after = apply_unified_diff(new_text, diff)
        changed = before != after
        result = dict(changed=changed, rc=rc, report=report, stderr_lines=err.splitlines(), target=target)
        if module._diff:
            result["diff"] = dict(before=before or "", after=after, before_header=target,
                                  after_header=target + " (upgraded)")
        if changed and not module.check_mode:
            rc, _, err, report = run_upgrade(module, program, env, False, scratch)
            if rc != 0:
                fail(module, "the upgrade failed", rc, err, report, diff=result.get("diff"))
            result.update(rc=rc, report=report, stderr_lines=err.splitlines())
    module.exit_json(**result)


if __name__ == "__main__":
    main()
