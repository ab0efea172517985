#!/usr/bin/python
# Sets, adds and removes keywords and deletes or renames sections of a suite
# configuration file through "kxconf apply": every edit of a task is made
# under one lock and written once, all or nothing.
from __future__ import annotations

DOCUMENTATION = r"""
---
module: kestrix_config
short_description: Manage keywords and sections of a Kestrix suite configuration file
version_added: "5.0.0"
description:
  - Sets, adds or removes keywords and deletes or renames sections and
    subsections of a suite configuration file with C(kxconf apply) on the
    managed host. All edits of one task are checked first, then made under
    the file's lock and written once; if one cannot be made, none is.
  - Lines that no edit touches stay exactly as they are; an edit that finds
    the file as asked already writes nothing, and the task is C(ok).
  - In check mode nothing is written (C(kxconf apply --dry-run)); in diff
    mode the task shows the file before and after.
options:
  path:
    description:
      - The configuration file. Without it, C(qzt_config) in the
        configuration directory (C($KESTRIX_HOME/qzt/etc/)).
    type: path
  section:
    description: The section, or C(SECTION/SUBSECTION), of a single edit.
    type: str
  keyword:
    description:
      - The keyword of a single edit. Without it, the edit is on the section
        itself (I(state=absent) deletes it, I(rename_to) renames it).
    type: str
  value:
    description: The keyword's value (I(state=present)).
    type: str
  instance:
    description:
      - Which occurrence of the keyword, counted from 1. Without it,
        I(state=present) sets the first and I(state=absent) removes all.
    type: int
  add:
    description:
      - With I(state=present), make sure one occurrence of the keyword has
        I(value), adding an occurrence when none has it, instead of setting
        the first.
    type: bool
    default: false
  rename_to:
    description: The new name of the section or subsection of a single edit.
    type: str
  state:
    description: Whether the keyword (or, without I(keyword), the section) is to be there.
    type: str
    choices: [present, absent]
    default: present
  values:
    description:
      - Many edits at once, made under one lock; each item takes the options
        I(section), I(keyword), I(value), I(instance), I(add), I(rename_to)
        and I(state) of a single edit.
    type: list
    elements: dict
  create:
    description: Create the file when it is missing; when false, a missing file fails the task.
    type: bool
    default: true
  wait:
    description: Seconds to wait for a lock held by another process.
    type: int
    default: 0
  kestrix_home:
    description: The product home (C(KESTRIX_HOME)) on the managed host.
    type: path
  bin_dir:
    description: The directory of C(kxconf); else it is found along C(PATH).
    type: path
notes:
  - Supports check mode and diff mode.
author:
  - Kestrix suite developers
"""

EXAMPLES = r"""
- name: The administrator's address
  kestrix.suite.kestrix_config:
    section: system
    keyword: admin
    value: ops@example.com

- name: Several related settings under one lock
  kestrix.suite.kestrix_config:
    path: /opt/kestrix/qzt/etc/qzt_config
    values:
      - {section: files, keyword: archive_dir, value: /srv/archive}
      - {section: log_files/rotate, keyword: mail_to, value: ops@example.com, add: true}
      - {section: files, keyword: modem_log, state: absent}

- name: Drop an old section, rename another
  kestrix.suite.kestrix_config:
    values:
      - {section: modem_pool, state: absent}
      - {section: site_local, rename_to: site_ops}
"""

RETURN = r"""
edits:
  description: The edit lines given to C(kxconf apply), those that had anything to do.
  returned: always
  type: list
  elements: str
stdout_lines:
  description: What C(kxconf apply --verbose) (or C(--dry-run)) printed.
  returned: always
  type: list
  elements: str
"""

import json
import shlex

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kestrix.suite.plugins.module_utils.kestrix import (
    find_program, main_config_file, read_text, suite_environment)

EDIT_OPTIONS = dict(
    section=dict(type="str"),
    keyword=dict(type="str"),
    value=dict(type="str"),
    instance=dict(type="int"),
    add=dict(type="bool", default=False),
    rename_to=dict(type="str"),
    state=dict(type="str", choices=["present", "absent"], default="present"),
)


class Current:
    """What the file holds now, read once, so that edits with nothing to do
    are left out: removing what is not there, renaming what was renamed
    already, adding a value one occurrence has."""

    def __init__(self, listing):
        self.lists = {}
        for section in listing.get("sections", []):
            name = section["name"].lower()
            self.lists[name] = section.get("keywords", {})
            for sub in section.get("subsections", []):
                self.lists[name + "/" + sub["name"].lower()] = sub.get("keywords", {})

    def has_list(self, place):
        return place.lower() in self.lists

    def values(self, place, keyword):
        return self.lists.get(place.lower(), {}).get(keyword.lower(), [])


def edit_line(edit, current):
    """The kxconf apply line of one edit, or None when it has nothing to do."""
    place, keyword = edit["section"], edit["keyword"]
    words = None
    if keyword is None and edit["rename_to"] is not None:
        if current.has_list(place):
            words = ["rename", place, edit["rename_to"]]
    elif keyword is None:
        if edit["state"] == "absent" and current.has_list(place):
            words = ["delete", place]
    elif edit["state"] == "absent":
        count = len(current.values(place, keyword))
        if edit["instance"] is not None and edit["instance"] <= count:
            words = ["unset", place, keyword, "--instance", str(edit["instance"])]
        elif edit["instance"] is None and count:
            words = ["unset", place, keyword, "--all"]
    elif edit["add"]:
        if edit["value"] not in current.values(place, keyword):
            words = ["set", place, keyword, edit["value"], "--add"]
    else:
        words = ["set", place, keyword, edit["value"]]
        if edit["instance"] is not None:
            words += ["--instance", str(edit["instance"])]
    return None if words is None else " ".join(shlex.quote(w) for w in words)


def check_edit(module, edit):
    if not edit["section"]:
        module.fail_json(msg="every edit needs a section: %r" % (edit,))
    if edit["keyword"] is None and edit["rename_to"] is None and edit["state"] == "present":
        module.fail_json(msg="an edit of a section needs state=absent or rename_to: %r" % (edit,))
    if edit["keyword"] is not None and edit["state"] == "present" and edit["value"] is None:
        module.fail_json(msg="setting a keyword needs a value: %r" % (edit,))


def requested_edits(module):
    params = module.params
    if params["values"]:
        items = params["values"]
    elif params["section"]:
        items = [{name: params[name] for name in EDIT_OPTIONS}]
    else:
        module.fail_json(msg="one of section or values is required")
    edits = []
    for item in items:
        unknown = set(item) - set(EDIT_OPTIONS)
        if unknown:
            module.fail_json(msg="unknown options in an edit: %s" % ", ".join(sorted(unknown)))
        edit = {name: item.get(name, option.get("default")) for name, option in EDIT_OPTIONS.items()}
        if edit["value"] is not None:
            edit["value"] = str(edit["value"])
        check_edit(module, edit)
        edits.append(edit)
    return edits


def kxconf(module, program, env, path, *args, data=None):
    argv = [program, "-f", path, "--wait", str(module.params["wait"])]
    return module.run_command(argv + list(args), data=data, environ_update=env, binary_data=True)


def current_contents(module, program, env, path, exists):
    if not exists:
        return Current({})
    rc, out, err = kxconf(module, program, env, path, "list", "--format", "json", "--raw")
    if rc != 0:
        module.fail_json(msg="kxconf cannot read the file: %s" % err.strip(), rc=rc)
    return Current(json.loads(out))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            path=dict(type="path"),
            values=dict(type="list", elements="dict"),
            create=dict(type="bool", default=True),
            wait=dict(type="int", default=0),
            kestrix_home=dict(type="path"),
            bin_dir=dict(type="path"),
            **EDIT_OPTIONS,
        ),
        mutually_exclusive=[("values", "section")],
        supports_check_mode=True,
    )
    program = find_program(module, "kxconf")
    env = suite_environment(module, program)
    edits = requested_edits(module)
    path = module.params["path"] or main_config_file(module)
    before = read_text(path)
    if before is None and not module.params["create"]:
        module.fail_json(msg="the configuration file is missing: %s" % path)
    current = current_contents(module, program, env, path, before is not None)
    lines = [line for line in (edit_line(e, current) for e in edits) if line is not None]
    result = dict(changed=False, edits=lines, stdout_lines=[])
    if lines:
        mode = "--dry-run" if module.check_mode else "--verbose"
        options = [] if module.params["create"] else ["--existing"]
        rc, out, err = kxconf(module, program, env, path, "apply", mode, *options, "-",
                              data="\n".join(lines) + "\n")
        if rc != 0:
            module.fail_json(msg="kxconf apply failed: %s" % err.strip(), rc=rc, edits=lines)
        result["stdout_lines"] = out.splitlines()
        after = out if module.check_mode else read_text(path)
        result["changed"] = bool(out.strip()) if module.check_mode else before != after
        if module._diff and module.check_mode:
            result["diff"] = dict(prepared=out)
        elif module._diff:
            result["diff"] = dict(before=before or "", after=after or "", before_header=path, after_header=path)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
