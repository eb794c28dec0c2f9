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
      - C(started) starts a service that is not up and leaves a running one alone (C(changed)
        false), as M(ansible.builtin.service) does. This differs on purpose from the program's
        own C(startNAME), which restarts a running service.
      - C(restarted) always restarts. C(stopped) and C(reloaded) report C(changed) only when
        the service changed (a stop of a stopped service, a reload of a service that cannot
        reload, change nothing).
      - C(started) and C(restarted) pass only once the program has watched the new daemon
        through its confirmation window, where M(ansible.builtin.systemd) passes as soon as
        systemd's job ends (a daemon that dies a moment later fails the task here).
      - C(reloaded) fails on a stopped service, where M(ansible.builtin.systemd) starts it: a
        reload that starts a service hides that it was down.
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
  - Check mode runs only the program's check and predicts what the real run would do from
    it; a run the program would refuse (not installed, not configured, disabled, a reload of a
    stopped service) fails in check mode too, and one that would change nothing (a unit that
    cannot reload, a started service that is up) is C(ok).
  - With C(--diff) the task shows the service's state and main process before and after
    (predicted after, in check mode).
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
        return is_up(before) or before.get('state') in ('starting', 'stopping')
    if state == 'reloaded':
        return bool(after.get('acted'))
    # started, restarted: a service that was not up, or a new main process.
    if not is_up(before):
        return is_up(after)
    if before.get('main_pid') is None or after.get('main_pid') is None:
        return bool(after.get('acted'))
    return before['main_pid'] != after['main_pid']


# States in which the program refuses every action but a stop.
REFUSED_STATES = ('not-installed', 'not-configured', 'disabled', 'error', 'refused')


def predicted(state, before):
    """What the real run would do, from the check before it: (failed, changed, message)."""
    name = before.get('service')
    now = before.get('state')
    if now in ('not-installed', 'not-configured', 'error', 'refused'):
        return True, False, before.get('message') or 'the %s would fail' % ACTIONS[state]
    if now == 'disabled':
        # A stop of a disabled service still stops it; any other action is refused (and a
        # restart of a running one stops it first).
        if state == 'stopped':
            return False, is_up(before), ''
        return True, is_up(before), before.get('message') or '%s is disabled' % name
    if state == 'started':
        return False, not is_up(before), ''
    if state == 'stopped':
        return False, is_up(before) or now in ('starting', 'stopping'), ''
    if state == 'reloaded':
        if not is_up(before):
            return True, False, '“%s” is not running; there is nothing to reload.' % name
        return False, before.get('can_reload') is not False, ''
    return False, True, ''  # restarted


def state_text(record):
    if record is None:
        return ''
    pid = record.get('main_pid')
    return 'state: %s\nmain_pid: %s\n' % (record.get('state'), pid if pid is not None else '~')


def diff_of(before, after):
    return dict(before=state_text(before), after=state_text(after),
                before_header='%s (before)' % before.get('service'),
                after_header='%s (after)' % before.get('service'))


def failure_message(record, fallback):
    # The verdict, and why: the record's reason carries systemd's result or the script's
    # exit and the last line of the startup log, which the verdict alone does not.
    msg = record.get('message') or fallback
    # The message often holds the reason's first line already: each line is said once.
    shown = msg.splitlines()
    tail = [line for line in (record.get('reason') or '').splitlines() if line not in shown]
    if tail:
        msg = '%s\n%s' % (msg, '\n'.join(tail))
    return msg


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
            module.fail_json(msg=failure_message(record, 'the check failed'), **result)
        module.exit_json(**result)

    _, before = run_program(module, 'check')
    if module.check_mode:
        failed, changed, msg = predicted(state, before)
        after = dict(before, state='down' if state == 'stopped' and changed else before.get('state'))
        if changed and state in ('started', 'restarted'):
            after = dict(before, state='up', main_pid='(new)')
        result = dict(changed=changed, rc=0, record=before, before=before, ansible_facts={facts_key: before})
        if module._diff:
            result['diff'] = diff_of(before, after)
        if failed:
            module.fail_json(msg=msg, **result)
        module.exit_json(**result)

    if state == 'started' and is_up(before):
        # Up already: nothing to do, and no restart of a production daemon for nothing.
        result = dict(changed=False, rc=0, record=before, before=before, ansible_facts={facts_key: before})
        if module._diff:
            result['diff'] = diff_of(before, before)
        module.exit_json(**result)

    rc, record = run_program(module, ACTIONS[state])
    result = dict(rc=rc, record=record, before=before, ansible_facts={facts_key: record})
    if module._diff:
        result['diff'] = diff_of(before, record)
    if rc != 0:
        # What failed may still have changed the service (a stop before a failed start).
        module.fail_json(msg=failure_message(record, 'the %s failed' % ACTIONS[state]),
                         changed=bool(record.get('acted')) or record.get('main_pid') != before.get('main_pid') or
                         record.get('state') != before.get('state'), **result)
    module.exit_json(changed=changed_by(state, before, record), **result)


if __name__ == '__main__':
    main()
