#!/usr/bin/env python3
"""The exporter's status page in a real browser (headless Chromium).

Two real lobbies, one of them with players whose names are markup, and a
live exporter in front of them. Chromium loads the page and the test reads
what a person would see, through the DevTools protocol on a pipe:
  - every lobby, room and player as sent, Japanese names as written;
  - hostile names and the operator's title shown as text, with no script
    run, and the page's policy refusing inline handlers and scripts from
    elsewhere;
  - the page refreshing itself about 10 s after it loaded (a player who
    logs in after the load appears then, not before);
  - each lobby's game data version, and for one with an upstream server
    whether it is registered there;
  - lobbies that cannot take players: "not listening" (its port is
    another's) and "closing" (draining) with no Join line, "full";
  - "offline", with since when, once a lobby is stopped;
  - no sideways scrolling on a 360-pixel phone.
Screenshots at 360 px (light and dark) and 1280 px go to --out.

Exit status 0 when every check passes, 1 when one fails, 77 (skipped) when
Chromium is not installed, except under CI, where that fails.
"""

import argparse
import base64
import json
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
WAIT_S = 20
REFRESH_S = 10.0
# The page asks again 10 s after its last answer arrived; the exporter's
# reading may be up to 1 s old, and a busy machine adds a little.
REFRESH_EARLIEST_S = REFRESH_S - 1.0
REFRESH_LATEST_S = REFRESH_S + 2.5

TITLE = '<i>Fleet</i> & "friends"'
HOSTILE_SVG = '<svg/onload=x=1>'       # 16 bytes: a whole name
HOSTILE_SCRIPT = '</script><script'    # what fits of </script><script>
ENTITY_NAME = '&lt;i&gt;x'             # must not be decoded into <i>x
JAPANESE_HOST = 'テスト'
JAPANESE_LOBBY = '西ロビー'

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print('FAIL: ' + what, flush=True)
    return condition


def wait_until(probe, timeout_s, what, step_s=0.1):
    """Calls probe() until it returns a true value, at most timeout_s."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError(what)
        time.sleep(step_s)


def admin(socket_path, command):
    """One admin command on a lobby's socket; its reply, parsed."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as conn:
        conn.settimeout(5)
        conn.connect(socket_path)
        conn.sendall(command.encode() + b'\n')
        reply = b''
        while not reply.endswith(b'\n'):
            chunk = conn.recv(65536)
            if not chunk:
                break
            reply += chunk
    return json.loads(reply)


class Lobby:
    """A lobby_server process in a directory of its own."""

    def __init__(self, server, root, folder, name, settings=''):
        self.dir = os.path.join(root, folder)
        os.mkdir(self.dir)
        self.socket = os.path.join(self.dir, 'lobby.sock')
        with open(os.path.join(self.dir, 'dorvik.txt'), 'w', encoding='utf-8') as f:
            f.write(f'L_NAME {name}\nL_PORT 0\nL_IP 203.0.113.10\n{settings}')
        self.process = subprocess.Popen([server], cwd=self.dir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL)

        def port():
            try:
                return admin(self.socket, 'status').get('port')
            except OSError:
                return None
        self.port = wait_until(port, WAIT_S, f'lobby {name} answering on its socket')

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(WAIT_S)


class Player:
    """A game client that logs in and, when asked, makes a room."""

    def __init__(self, port, user_id, name_bytes, key=5):
        self.conn = socket.create_connection(('127.0.0.1', port), timeout=5)
        name = name_bytes[:16].ljust(16, b'\0')
        self.conn.sendall(b'2N' + struct.pack('<i', user_id) + name + b'2V' +
                          struct.pack('<i', 1) + b'2G' + struct.pack('<iiHH', user_id, key, 8, 8))
        self.expect(b'2O')

    def make_room(self):
        self.conn.sendall(b'2L' + struct.pack('<i', -1))
        self.expect(b'2M')

    def expect(self, mark):
        received = b''
        deadline = time.monotonic() + WAIT_S
        while mark not in received:
            self.conn.settimeout(max(0.1, deadline - time.monotonic()))
            chunk = self.conn.recv(4096)
            if not chunk:
                raise ConnectionError('the lobby closed the connection')
            received += chunk

    def close(self):
        self.conn.close()


class Browser:
    """Headless Chromium driven through the DevTools protocol on a pipe."""

    def __init__(self, profile):
        commands_read, self.commands = os.pipe()
        self.replies, replies_write = os.pipe()

        def onto_3_and_4():
            # Chromium reads commands from descriptor 3 and writes to 4.
            a, b = os.dup(commands_read), os.dup(replies_write)
            os.dup2(a, 3)
            os.dup2(b, 4)

        flags = [
            '--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
            '--disable-background-networking', '--disable-component-update', '--disable-sync',
            '--disable-extensions', '--disable-default-apps', '--no-default-browser-check',
            '--mute-audio', '--hide-scrollbars', '--remote-debugging-pipe',
            '--user-data-dir=' + profile,
        ]
        if os.geteuid() == 0:
            flags.append('--no-sandbox')  # the sandbox refuses to run as root
        self.process = subprocess.Popen(['chromium'] + flags + ['about:blank'],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, pass_fds=(3, 4),
                                        preexec_fn=onto_3_and_4)
        os.close(commands_read)
        os.close(replies_write)
        self.next_id = 0
        self.buffer = b''
        self.events = []
        self.session = None

    def call(self, method, params=None, session=True, timeout_s=WAIT_S):
        self.next_id += 1
        message = {'id': self.next_id, 'method': method, 'params': params or {}}
        if session and self.session:
            message['sessionId'] = self.session
        os.write(self.commands, json.dumps(message).encode() + b'\0')
        while True:
            reply = self.read_message(timeout_s)
            if reply.get('id') == self.next_id:
                if 'error' in reply:
                    raise RuntimeError(f'{method}: {reply["error"]}')
                return reply.get('result', {})
            if 'method' in reply:
                self.events.append(reply)

    def read_message(self, timeout_s):
        deadline = time.monotonic() + timeout_s
        while b'\0' not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError('no answer from the browser')
            ready, _, _ = select.select([self.replies], [], [], left)
            if ready:
                chunk = os.read(self.replies, 1 << 20)
                if not chunk:
                    raise ConnectionError('the browser ended')
                self.buffer += chunk
        message, self.buffer = self.buffer.split(b'\0', 1)
        return json.loads(message)

    def open_tab(self):
        target = self.call('Target.createTarget', {'url': 'about:blank'}, session=False,
                           timeout_s=60)
        self.session = self.call('Target.attachToTarget',
                                 {'targetId': target['targetId'], 'flatten': True},
                                 session=False)['sessionId']
        self.call('Page.enable')
        self.call('Runtime.enable')

    def viewport(self, width, height, dark=False):
        self.call('Emulation.setDeviceMetricsOverride',
                  {'width': width, 'height': height, 'deviceScaleFactor': 1,
                   'mobile': width < 600})
        self.call('Emulation.setEmulatedMedia',
                  {'features': [{'name': 'prefers-color-scheme',
                                 'value': 'dark' if dark else 'light'}]})

    def navigate(self, url):
        self.events.clear()
        self.call('Page.navigate', {'url': url})
        deadline = time.monotonic() + WAIT_S
        while not any(e['method'] == 'Page.loadEventFired' for e in self.events):
            message = self.read_message(max(0.1, deadline - time.monotonic()))
            if 'method' in message:
                self.events.append(message)

    def value(self, expression):
        result = self.call('Runtime.evaluate', {'expression': expression, 'returnByValue': True,
                                                'awaitPromise': True})
        if 'exceptionDetails' in result:
            raise RuntimeError(f'{expression}: {result["exceptionDetails"]}')
        return result['result'].get('value')

    def screenshot(self, path, width, dark=False):
        self.viewport(width, 800, dark)
        height = self.value('document.documentElement.scrollHeight')
        self.viewport(width, max(height, 200), dark)
        data = self.call('Page.captureScreenshot', {'format': 'png'})['data']
        with open(path, 'wb') as f:
            f.write(base64.b64decode(data))

    def close(self):
        if self.process.poll() is None:
            try:
                self.call('Browser.close', session=False, timeout_s=5)
            except (OSError, TimeoutError, RuntimeError, ConnectionError):
                pass
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        os.close(self.commands)
        os.close(self.replies)


# What the page shows, read from the DOM as a person reads it.
READ_PAGE = """(() => [...document.querySelectorAll('section.lobby')].map((card) => ({
  name: card.querySelector('.name').textContent,
  state: card.querySelector('.state').textContent,
  facts: [...card.querySelectorAll('.facts')].map((p) => p.textContent),
  tables: [...card.querySelectorAll('table')].map((t) =>
      [...t.tBodies[0].rows].map((r) => [...r.cells].map((c) => c.textContent))),
})))()"""


def lobby_card(page, name):
    return next((card for card in page if card['name'] == name), None)


class Upstream:
    """An upstream server that takes the lobbies' links and keeps them."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.links = []

    def take(self):
        self.listener.settimeout(WAIT_S)
        self.links.append(self.listener.accept()[0])

    def close(self):
        for link in self.links:
            link.close()
        self.listener.close()


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def run(args, root):
    upstream = Upstream()
    # A port another program holds, and one where nothing answers.
    taken = socket.socket()
    taken.bind(('0.0.0.0', 0))
    taken.listen(1)
    east = Lobby(args.server, root, 'east', 'east', f'N_PORT {free_port()}\n')
    west = Lobby(args.server, root, 'west', JAPANESE_LOBBY)
    north = Lobby(args.server, root, 'north', 'north', f'L_PORT {taken.getsockname()[1]}\n')
    south = Lobby(args.server, root, 'south', 'south', f'VER 3\nN_PORT {upstream.port}\n')
    upstream.take()
    full = Lobby(args.server, root, 'full', 'full', 'ROOM 1\n')
    lobbies = [east, west, north, south, full]
    players = [Player(east.port, 1, b'alice'), Player(east.port, 2, HOSTILE_SVG.encode()),
               Player(east.port, 3, HOSTILE_SCRIPT.encode()),
               Player(west.port, 4, JAPANESE_HOST.encode('cp932')),
               Player(west.port, 5, ENTITY_NAME.encode())]
    players += [Player(full.port, 10 + i, b'p%d' % i) for i in range(8)]
    # A drain with nobody left ends the lobby: one player stays in south.
    players.append(Player(south.port, 20, b'stays'))
    admin(south.socket, 'drain 600')
    players[1].make_room()  # the hostile name is the room's title too
    players[3].make_room()

    exporter = subprocess.Popen(
        [args.exporter, '--listen', '127.0.0.1:0', '--title', TITLE] +
        [lobby.socket for lobby in lobbies],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([exporter.stdout], [], [], WAIT_S)
        line = exporter.stdout.readline() if ready else ''
        check(line.startswith('listening on 127.0.0.1:'), 'exporter listening: ' + line)
        url = 'http://' + line.split()[-1] + '/'
        browser = Browser(os.path.join(root, 'profile'))
        try:
            browse(browser, url, east, west, players, args.out)
        finally:
            browser.close()
    finally:
        exporter.terminate()
        exporter.wait(WAIT_S)
        for player in players:
            player.close()
        for lobby in lobbies:
            lobby.stop()
        upstream.close()
        taken.close()


def browse(browser, url, east, west, players, out):
    browser.open_tab()
    browser.viewport(1280, 900)
    browser.navigate(url)
    wait_until(lambda: browser.value("document.getElementById('updated').textContent")
               .startswith('last updated'), WAIT_S, 'the first status shown')
    shown_at = time.monotonic()

    # A player logs in after the page has shown its first status.
    late = Player(west.port, 6, b'latecomer')
    players.append(late)

    page = browser.value(READ_PAGE)
    check([card['name'] for card in page] == ['east', JAPANESE_LOBBY, 'north', 'south', 'full'],
          f'lobbies shown: {page}')
    east_card = lobby_card(page, 'east') or {}
    west_card = lobby_card(page, JAPANESE_LOBBY) or {}
    check(east_card.get('state') == 'up', f'east up: {east_card}')
    check(east_card.get('facts') == ['3 / 32 users · 1 / 4 rooms',
                                     'Game data version 0 · not registered upstream',
                                     f'Join: 203.0.113.10 port {east.port}'],
          f'east counts, version, upstream and join line: {east_card.get("facts")}')
    check(west_card.get('facts') == ['2 / 32 users · 1 / 4 rooms', 'Game data version 0',
                                     f'Join: 203.0.113.10 port {west.port}'],
          f'west without an upstream server: {west_card.get("facts")}')
    # Lobbies that cannot take players say so, and give no address to join.
    north_card = lobby_card(page, 'north') or {}
    check(north_card.get('state') == 'not listening' and
          north_card.get('facts') == ['0 / 32 users · 0 / 4 rooms', 'Game data version 0'],
          f'north not listening, no join line: {north_card}')
    south_card = lobby_card(page, 'south') or {}
    check(south_card.get('state') == 'closing' and
          south_card.get('facts') == ['1 / 32 users · 0 / 4 rooms',
                                      'Game data version 3 · registered upstream'],
          f'south closing, registered, no join line: {south_card}')
    full_card = lobby_card(page, 'full') or {}
    check(full_card.get('state') == 'full' and
          full_card.get('facts')[0] == '8 / 8 users · 0 / 1 rooms',
          f'full lobby: {full_card}')
    check(east_card.get('tables') == [
        [[HOSTILE_SVG, '1 / 8', 'waiting']],
        [['alice', '–', '0 min'], [HOSTILE_SVG, HOSTILE_SVG, '0 min'],
         [HOSTILE_SCRIPT, '–', '0 min']]], f'east rooms and players: {east_card.get("tables")}')
    check(west_card.get('tables') == [
        [[JAPANESE_HOST, '1 / 8', 'waiting']],
        [[JAPANESE_HOST, JAPANESE_HOST, '0 min'], [ENTITY_NAME, '–', '0 min']]],
        f'west rooms and players: {west_card.get("tables")}')

    # Markup in names and in the title stayed text: no element came of it,
    # nothing ran, and the window title is the operator's text.
    check(browser.value('document.title') == TITLE, 'window title as given')
    check(browser.value('document.querySelector("h1").textContent') == TITLE, 'heading as given')
    check(browser.value('typeof window.x') == 'undefined', 'no hostile script ran')
    check(browser.value('document.querySelectorAll("svg, img, i, b").length') == 0,
          'no element made from a name')
    check(browser.value('document.scripts.length') == 1, 'only the page\'s own script')
    # The policy itself: an inline handler and a script from elsewhere are
    # refused by the browser, which says so.
    browser.value("""window.violations = [];
      document.addEventListener('securitypolicyviolation',
          (e) => window.violations.push(e.effectiveDirective));
      document.body.insertAdjacentHTML('beforeend',
          '<img src="data:," onload="window.hole = 1" onerror="window.hole = 1">');
      const outside = document.createElement('script');
      outside.src = 'http://127.0.0.1:9/elsewhere.js';
      document.body.append(outside);
      0""")
    wait_until(lambda: sorted(set(browser.value('window.violations'))) ==
               ['script-src-attr', 'script-src-elem'], WAIT_S, 'policy violations reported')
    check(browser.value('typeof window.hole') == 'undefined', 'inline handler refused')
    browser.value('document.querySelectorAll("body > img, body > script:not([nonce])")'
                  '.forEach((node) => node.remove()); 0')

    # The refresh: the latecomer appears with the next status, about 10 s
    # after the first, and not before.
    def latecomer_shown():
        card = lobby_card(browser.value(READ_PAGE), JAPANESE_LOBBY) or {'tables': [[], []]}
        return any(row[0] == 'latecomer' for row in card['tables'][-1])
    wait_until(latecomer_shown, REFRESH_LATEST_S + 2, 'the latecomer shown')
    after_s = time.monotonic() - shown_at
    print(f'the page refreshed {after_s:.2f} s after its first status', flush=True)
    check(REFRESH_EARLIEST_S <= after_s <= REFRESH_LATEST_S,
          f'refresh after {after_s:.2f} s, not within {REFRESH_EARLIEST_S}..{REFRESH_LATEST_S}')
    check(browser.value("document.getElementById('summary').textContent") ==
          '15 players online in 5 of 5 lobbies', 'summary line')

    os.makedirs(out, exist_ok=True)
    browser.screenshot(os.path.join(out, 'status_page_1280.png'), 1280)
    browser.screenshot(os.path.join(out, 'status_page_360.png'), 360)
    check(browser.value('document.documentElement.scrollWidth') <= 360,
          'no sideways scrolling at 360 px')
    browser.screenshot(os.path.join(out, 'status_page_360_dark.png'), 360, dark=True)
    check(browser.value("getComputedStyle(document.body).backgroundColor") != 'rgb(245, 246, 248)',
          'dark colours in dark mode')
    print('screenshots in ' + out, flush=True)

    # A stopped lobby shows "offline" with the next refresh.
    east.stop()
    stopped_at = time.monotonic()

    def east_offline():
        card = lobby_card(browser.value(READ_PAGE), 'east')
        return card is not None and card['state'] == 'offline'
    wait_until(east_offline, REFRESH_LATEST_S + 2, 'east shown offline')
    print(f'east shown offline {time.monotonic() - stopped_at:.2f} s after it stopped', flush=True)
    # Since when: the time the exporter first found it so, today's time.
    facts = (lobby_card(browser.value(READ_PAGE), 'east') or {}).get('facts', [])
    moments = [time.localtime(time.time() - back) for back in range(0, 15)]
    times = {time.strftime(form, moment) for moment in moments for form in ('%H:%M', '%I:%M')}
    check(len(facts) == 1 and facts[0].startswith('Offline since ') and
          any(t in facts[0] for t in times), f'east offline since: {facts}')
    west_card = lobby_card(browser.value(READ_PAGE), JAPANESE_LOBBY) or {}
    check(west_card.get('state') == 'up', 'west still up')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--server', required=True)
    parser.add_argument('--exporter', required=True)
    parser.add_argument('--out', required=True, help='directory for the screenshots')
    args = parser.parse_args()
    if shutil.which('chromium') is None:
        if os.environ.get('CI'):
            print('chromium is missing: scripts/deps.sh chromium installs it', flush=True)
            return 1
        print('skipped: chromium is not installed (scripts/deps.sh chromium)', flush=True)
        return SKIPPED
    with tempfile.TemporaryDirectory() as root:
        try:
            run(args, root)
        except (TimeoutError, OSError, RuntimeError, ValueError, subprocess.SubprocessError) as e:
            failures.append(f'{type(e).__name__}: {e}')
            print(f'FAIL: {type(e).__name__}: {e}', flush=True)
    if failures:
        print(f'{len(failures)} checks failed', flush=True)
        return 1
    print('status page checked in Chromium', flush=True)
    return 0


if __name__ == '__main__':
    sys.exit(main())
