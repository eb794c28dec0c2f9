#!/usr/bin/python
# -*- coding: utf-8 -*-
# GNU General Public License v2.0+ (see COPYING or https://www.gnu.org/licenses/gpl-2.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: restartsrv
short_description: Restart, start, stop, reload or check a hosting panel service
description:
  - Runs C(restartsrv_base NAME --ACTION --json) and decides from its result record, never
    from its English texts.
  - The task fails whenever the program's exit status is not 0; the record's message is the
    failure message.
  - C(changed) is true exactly when the service changed, judged by the program's check before
    and its record after; a new main process, a service stopped, a reload done.
options:
  name:
    description: The service, as in C(restartsrv_NAME).
    type: str
    required: true
  state:
    description:
      - C(started) runs the program's start, which, like C(startNAME), restarts a service that
        is already running (so it reports C(changed) with a new main process).
      - C(stopped), C(restarted) and C(reloaded) run the program's stop, restart and reload.
      - Without I(state), the task is a check.
    type: str
    choices: [started, stopped, restarted, reloaded]
  check:
    description: Only check that the service is up; the task fails when it is not.
    type: bool
    default: false
  program:
    description: Path of restartsrv_base.
    type: path
    default: /usr/local/vexlan/scripts/restartsrv_base
notes:
  - Check mode runs only the program's check and predicts C(changed).
author:
  - Vexlan hosting panel team
'''

EXAMPLES = r'''
- name: Restart exim
  vexlan.panel.restartsrv:
    name: exim
    state: restarted

- name: The web server must be up (fails the play otherwise)
  vexlan.panel.restartsrv:
    name: httpd
    check: true
'''

RETURN = r'''
record:
  description: The program's result record (see the program's JSON schema; versions 1 and 2 are read alike).
  returned: always
  type: dict
before:
  description: The check's record from before the action (absent for a check only).
  returned: when state is given
  type: dict
rc:
  description: The program's exit status.
  returned: always
  type: int
'''

import json

from ansible.module_utils.basic import AnsibleModule

ACTIONS = {'started': 'start', 'stopped': 'stop', 'restarted': 'restart', 'reloaded': 'reload'}


def run_program(module, action):
    p = module.params
    rc, out, err = module.run_command([p['program'], p['name'], '--' + action, '--json'])
    record = None
    for line in reversed(out.splitlines()):
        try:
            candidate = json.loads(line)
        except ValueError:
            continue
        if isinstance(candidate, dict) and candidate.get('type') == 'result':
            record = candidate
            break
    if record is None:
        module.fail_json(msg='%s gave no result record (exit %d): %s' % (p['program'], rc, (err or out).strip()),
                         rc=rc, stdout=out, stderr=err)
    return rc, record


def is_up(record):
    # Records of schema 1 and 2 alike: only "up" is up. Schema 2's "starting" and
    # "stopping" (schema 1 said "down" for both) are neither up nor down; a reloading
    # service is reported "up" by both.
    return record.get('state') == 'up'


def changed_by(state, before, after):
    if state == 'stopped':
        return is_up(before)
    if state == 'reloaded':
        return bool(after.get('acted'))
    # started, restarted: a service that was not up, or a new main process.
    if not is_up(before):
        return is_up(after)
    if before.get('main_pid') is None or after.get('main_pid') is None:
        return bool(after.get('acted'))
    return before['main_pid'] != after['main_pid']


def predicted_change(state, before):
    if state == 'stopped':
        return is_up(before)
    if state == 'reloaded':
        return is_up(before)
    return True  # a start of a running service restarts it, as a restart does


def fact_name(service):
    return 'restartsrv_' + ''.join(c if c.isalnum() else '_' for c in service)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type='str', required=True),
            state=dict(type='str', choices=list(ACTIONS)),
            check=dict(type='bool', default=False),
            program=dict(type='path', default='/usr/local/vexlan/scripts/restartsrv_base'),
        ),
        supports_check_mode=True,
    )
    state = module.params['state']
    if state is not None and module.params['check']:
        module.fail_json(msg='give either state or check, not both')
    facts_key = fact_name(module.params['name'])

    if state is None:
        rc, record = run_program(module, 'check')
        result = dict(changed=False, rc=rc, record=record, ansible_facts={facts_key: record})
        if rc != 0:
            module.fail_json(msg=record.get('message') or 'the check failed', **result)
        module.exit_json(**result)

    _, before = run_program(module, 'check')
    if module.check_mode:
        module.exit_json(changed=predicted_change(state, before), rc=0, record=before, before=before,
                         ansible_facts={facts_key: before})

    rc, record = run_program(module, ACTIONS[state])
    result = dict(rc=rc, record=record, before=before, ansible_facts={facts_key: record})
    if rc != 0:
        # What failed may still have changed the service (a stop before a failed start).
        module.fail_json(msg=record.get('message') or 'the %s failed' % ACTIONS[state],
                         changed=record.get('main_pid') != before.get('main_pid') or
                         record.get('state') != before.get('state'), **result)
    module.exit_json(changed=changed_by(state, before, record), **result)


if __name__ == '__main__':
    main()
