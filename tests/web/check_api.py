#!/usr/bin/python3
"""Holds the API description (api/openapi.yaml) against what people and the
service actually exchange: every request and answer shown in README.md and
docs/*.md, each page's sent in its order to a fresh simulated camera whose
answers must be the ones shown, a sample of each method's answers,
success and error, from the running service, and the web server's refusals
in front of it (with the docs' curl and Python clients behind a password,
over https). Debian's python3-jsonschema does the validating;
python3-requests is that client's.

Run from anywhere: /usr/bin/python3 tests/web/check_api.py
"""
import contextlib
import glob
import http.client
import io
import json
import os
import re
import shlex
import shutil
import ssl
import subprocess
import sys
import tempfile
import urllib.parse

import jsonschema
import requests
import yaml

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'tests/system'))
from camera import SimCamera, build, camera_tool  # noqa: E402
failures = []
passed = 0


def check(ok, what):
    global passed
    if ok:
        passed += 1
    else:
        failures.append(what)
        print('FAIL: ' + what, file=sys.stderr)


# --- the description ---------------------------------------------------------

with open(os.path.join(ROOT, 'api/openapi.yaml')) as f:
    description = yaml.safe_load(f)
for name, schema in description['components']['schemas'].items():
    jsonschema.Draft202012Validator.check_schema(schema)
resolver = jsonschema.RefResolver('', description)
operation = description['paths']['/panetessel/api']['post']
request_schema = operation['requestBody']['content']['application/json']['schema']
answer_schema = operation['responses']['200']['content']['application/json']['schema']
requests_ok = jsonschema.Draft202012Validator(request_schema, resolver=resolver)
answers_ok = jsonschema.Draft202012Validator(answer_schema, resolver=resolver)


def explain(validator, value):
    return '; '.join(e.message for e in validator.iter_errors(value))[:300]


def check_answer(answer, what):
    check(answers_ok.is_valid(answer), what + ': answer fits the description (' + explain(answers_ok, answer) + ')')


# The description must also refuse what the service never sends.
for bad in [
    {'apiVersion': '1.0', 'method': 'setViewMode', 'error': {'code': 1000, 'message': 'Access forbidden.'}},
    {'apiVersion': '1.0', 'method': 'setViewMode', 'data': {}, 'error': {'code': 8000,
                                                                         'message': 'Internal error, could not complete request.'}},
    {'apiVersion': '1.0', 'method': 'getViewModeInfo', 'data': {'current': 'single', 'viewModes': ['triple']}},
    {'apiVersion': '1.0', 'method': 'getViewModeInfo', 'data': {}},
    {'apiVersion': '1.0', 'method': 'setViewMode', 'data': {}, 'extra': 1},
]:
    check(not answers_ok.is_valid(bad), 'the description refuses ' + json.dumps(bad))


# --- a simulated camera ------------------------------------------------------

@contextlib.contextmanager
def fresh_camera(**options):
    """A simulated camera in a folder of its own, kept when anything fails;
    behind its web server, as tools/run.sh runs it."""
    folder = tempfile.mkdtemp(prefix='pts-api-')
    camera = SimCamera(folder, front=True, **options)
    try:
        yield camera.open()
    finally:
        camera.close()
    shutil.rmtree(folder)


def tool(camera, *args):
    check(camera_tool(['--state', str(camera.state), *args]) == 0, 'tools/camera ' + ' '.join(args))


def post(camera, body, method='POST'):
    answer = camera.api(timeout=30).request(body, method)
    check(answer.status == 200, 'HTTP 200 for ' + body)
    return answer.body.decode()


def ordered(text):
    """JSON with its members' order kept: the order is part of the answer."""
    return json.loads(text, object_pairs_hook=lambda pairs: pairs)


# --- the docs' examples -----------------------------------------------------

def page_examples(text):
    """Yields ('camera', args) and ('call', request text, answer text) in the
    page's order: curl commands to the API with the answer that follows
    them (a json block, or "# ..." lines in the same block)."""
    blocks = re.findall(r'```(\w*)\n(.*?)```', text, re.S)
    for i, (kind, body) in enumerate(blocks):
        if kind != 'sh':
            continue
        commands = re.split(r'\n(?=\S)', body.replace('\\\n', ' '))
        for j, command in enumerate(commands):
            if command.startswith('#'):
                continue
            words = shlex.split(command, comments=True)
            if words[:1] == ['tools/camera']:
                yield ('camera', words[1:])
            elif words[:1] == ['curl'] and any(w.endswith('/panetessel/api') for w in words):
                data = [k for k, w in enumerate(words) if w in ('-d', '--data')]
                if not data:
                    continue
                request = words[data[0] + 1]
                following = commands[j + 1] if j + 1 < len(commands) else ''
                if following.startswith('# '):
                    answer = following[2:]
                elif i + 1 < len(blocks) and blocks[i + 1][0] == 'json':
                    answer = blocks[i + 1][1]
                else:
                    answer = None
                yield ('call', request, answer)


def check_docs():
    pages = ['README.md'] + sorted(os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, 'docs/*.md')))
    calls = {}
    for page in pages:
        with open(os.path.join(ROOT, page)) as f:
            examples = list(page_examples(f.read()))
        calls[page] = sum(e[0] == 'call' for e in examples)
        if calls[page]:
            with fresh_camera() as camera:
                check_page(camera, page, examples)
    check(calls.get('docs/api.md', 0) >= 4, 'docs/api.md shows every method and a batch (found %d calls)' %
          calls.get('docs/api.md', 0))


def check_page(camera, page, examples):
    for example in examples:
        if example[0] == 'camera':
            tool(camera, *example[1])
            continue
        _, request, answer = example
        what = page + ' ' + ' '.join(request.split())
        check(requests_ok.is_valid(json.loads(request)), what + ': request fits the description (' +
              explain(requests_ok, json.loads(request)) + ')')
        check(answer is not None, what + ': an answer is shown')
        if answer is None:
            continue
        check_answer(json.loads(answer), what)
        live = post(camera, request)
        check(ordered(live) == ordered(answer), what + ': the camera answers ' + live.strip())


# --- samples of each method, from the running service ------------------------

def set_mode(value):
    return {'method': 'setViewMode', 'apiVersion': '1.0', 'params': {'value': value}}


INFO = {'method': 'getViewModeInfo', 'apiVersion': '1.0'}
VERSIONS = {'method': 'getSupportedVersions'}

# (what, camera commands first, request (a text is sent as it is), whether the
# request fits the description, the error code expected: None for success, a
# list for a batch)
SAMPLES = [
    ('versions', [], VERSIONS, True, None),
    ('versions with a context', [], dict(VERSIONS, context='abc'), True, None),
    ('versions, context not a string', [], dict(VERSIONS, context=12), False, 4002),
    ('info', [['fault', 'video', 'apply', 'off']], INFO, True, None),
    ('switch to single', [], set_mode('single'), True, None),
    ('switch to quad', [], set_mode('quad'), True, None),
    ('info while a channel is rotated', [['rotate', '3', '270']], INFO, True, None),
    ('quad while a channel is rotated', [], set_mode('quad'), True, 1000),
    ('a mode that does not exist', [['rotate', '3', '0']], set_mode('Quad'), False, 1000),
    ('switch without params', [], {'method': 'setViewMode', 'apiVersion': '1.0'}, False, 4001),
    ('a mode that is a number', [], set_mode(5), False, 4002),
    ('the video system refuses', [['fault', 'video', 'apply', 'on']], set_mode('single'), True, 8000),
    ('info without rotation', [['fault', 'video', 'apply', 'off'], ['fault', 'rotation', '1', 'error']], INFO, True, 8000),
    ('switch without rotation', [], set_mode('single'), True, 1000),
    ('a version that is not supported', [['fault', 'rotation', '1', 'none']], dict(INFO, apiVersion='2.0'), False, 2003),
    ('a method that does not exist', [], {'method': 'getFoo', 'apiVersion': '1.0'}, False, 2004),
    ('no method', [], {'apiVersion': '1.0'}, False, 4001),
    ('not JSON', [], '{"method": ', False, 4000),
    ('a batch', [], [VERSIONS, set_mode('quad'), INFO, set_mode('triple')], False, [None, None, None, 1000]),
    ('an empty batch', [], [], True, []),
]


def error_code(answer):
    return answer['error']['code'] if 'error' in answer else None


def check_samples(camera, samples):
    for what, commands, request, fits, expected in samples:
        for command in commands:
            tool(camera, *command)
        if isinstance(request, str):
            text = request
        else:
            text = json.dumps(request)
            check(requests_ok.is_valid(request) == fits,
                  what + ': the description ' + ('takes' if fits else 'refuses') + ' the request')
        answer = json.loads(post(camera, text))
        check_answer(answer, what)
        codes = [error_code(a) for a in answer] if isinstance(answer, list) else error_code(answer)
        check(codes == expected, what + ': error %s, not %s' % (codes, expected))
    answer = json.loads(post(camera, '', method='GET'))
    check_answer(answer, 'GET')
    check(error_code(answer) == 2002, 'GET: error 2002')


# --- the web server in front of the service ----------------------------------

VERSIONS_TEXT = b'{"method": "getSupportedVersions"}'


def send(camera, headers, body=VERSIONS_TEXT, method='POST'):
    """Sends exactly these headers (Host included: none unless given)."""
    parts = urllib.parse.urlsplit(camera.url)
    if parts.scheme == 'https':
        connection = http.client.HTTPSConnection(parts.hostname, parts.port, timeout=30,
                                                 context=ssl.create_default_context(cafile=camera.cafile))
    else:
        connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)
    try:
        connection.putrequest(method, parts.path, skip_host=True, skip_accept_encoding=True)
        for name, value in headers.items():
            connection.putheader(name, value)
        connection.putheader('Content-Length', str(len(body)))
        connection.endheaders(body)
        reply = connection.getresponse()
        return reply.status, reply.headers, reply.read()
    finally:
        connection.close()


def media_type(headers):
    return (headers.get('Content-Type') or '').split(';')[0].strip().lower()


def check_no_cors(what, headers):
    cors = [name for name in headers.keys() if name.lower().startswith('access-control-')]
    check(not cors, what + ': no CORS header, not %s' % cors)


def check_refusal(what, status, headers, body):
    """A refusal the description names: the web server's own page or no
    body, which no client could take for the service's JSON, with the
    described headers."""
    described = operation['responses'].get(str(status))
    check(described is not None, what + ': HTTP %d is described' % status)
    if not described:
        return
    described = described.get('$ref') and resolver.resolve(described['$ref'])[1] or described
    content = described.get('content', {})
    check('application/json' not in content, what + ': HTTP %d is described without JSON' % status)
    if body:
        check(media_type(headers) in content, what + ': its %r body is described (as %s)' %
              (media_type(headers), ', '.join(content) or 'nothing'))
        check(b'<h1>%d ' % status in body, what + ': the web server\'s page, not %r' % body[:80])
    check_no_cors(what, headers)
    for name, header in described.get('headers', {}).items():
        value = headers.get(name)
        schema = header['schema']
        if schema.get('type') == 'integer':
            value = int(value) if value and value.isdigit() else value
        check(value is not None and jsonschema.Draft202012Validator(schema).is_valid(value),
              what + ': %s fits the description: %r' % (name, value))


# (what, the HTTP method, headers besides the camera's own Host ({own} is
# that Host, {port} its port), the body (None: a getSupportedVersions), the
# status). The 200s are what must get through: the camera's own page, and
# a GET from anywhere, which changes nothing.
REFUSALS = [
    ('no Host', 'POST', {'Host': None}, None, 400),
    ('an empty Host', 'POST', {'Host': ''}, None, 400),
    ('a foreign Host', 'POST', {'Host': 'rebind.evil.example'}, None, 421),
    ('a foreign Host with the camera\'s port', 'POST', {'Host': 'rebind.evil.example:{port}'}, None, 421),
    ('another site\'s Origin', 'POST', {'Origin': 'http://evil.example'}, None, 403),
    ('its own Host in an https Origin', 'POST', {'Origin': 'https://{own}'}, None, 403),
    ('Origin null', 'POST', {'Origin': 'null'}, None, 403),
    ('Sec-Fetch-Site cross-site', 'POST', {'Sec-Fetch-Site': 'cross-site'}, None, 403),
    ('Sec-Fetch-Site same-site', 'POST', {'Sec-Fetch-Site': 'same-site'}, None, 403),
    ('a preflight', 'OPTIONS', {'Origin': 'http://evil.example', 'Access-Control-Request-Method': 'POST',
                                'Access-Control-Request-Headers': 'content-type'}, b'', 403),
    ('a body over 1 MiB', 'POST', {}, b'[' * (1024 * 1024 + 1), 413),
    ('Host localhost', 'POST', {'Host': 'localhost:{port}'}, None, 200),
    ('its own Origin', 'POST', {'Origin': 'http://{own}', 'Sec-Fetch-Site': 'same-origin'}, None, 200),
    ('a GET from another site', 'GET', {'Sec-Fetch-Site': 'cross-site', 'Origin': 'http://evil.example'}, b'', 200),
]


def check_refusals(camera):
    own = urllib.parse.urlsplit(camera.url).netloc
    port = urllib.parse.urlsplit(camera.url).port
    for what, method, extra, body, expected in REFUSALS:
        headers = {name: value.format(own=own, port=port)
                   for name, value in dict({'Host': own}, **extra).items() if value is not None}
        status, answer_headers, answer = send(camera, headers, VERSIONS_TEXT if body is None else body, method)
        check(status == expected, what + ': HTTP %d, not %d' % (status, expected))
        if status != 200:
            check_refusal(what, status, answer_headers, answer)
        else:
            check_no_cors(what, answer_headers)
            check_answer(json.loads(answer), what)


def auth_section():
    with open(os.path.join(ROOT, 'docs/api.md')) as f:
        text = f.read()
    section = re.search(r'^## Authentication and the web server\'s answers\n(.*?)(?=^## )', text, re.S | re.M)
    check(section is not None, 'docs/api.md has its section on authentication')
    return section[1] if section else ''


# The placeholders the docs' clients hold: tools/run.sh --auth's camera.
DOCS_URL, DOCS_PASSWORD, DOCS_CERT = 'https://127.0.0.1:8642/panetessel/api', 'PASSWORD', '.sim/front/cert.pem'


def docs_curl(camera):
    """The docs' curl with a password, run on the camera: what it printed,
    and the answer the docs show."""
    blocks = re.findall(r'```(\w*)\n(.*?)```', auth_section(), re.S)
    found = [(i, body) for i, (kind, body) in enumerate(blocks) if kind == 'sh' and '--digest' in body]
    check(len(found) == 1, 'docs/api.md shows one curl with a password (found %d)' % len(found))
    if len(found) != 1:
        return None, None
    i, body = found[0]
    shown = blocks[i + 1][1] if i + 1 < len(blocks) and blocks[i + 1][0] == 'json' else None
    live = {DOCS_URL: camera.url, 'camop:' + DOCS_PASSWORD: 'camop:' + camera.password, DOCS_CERT: camera.cafile}
    words = shlex.split(body.replace('\\\n', ' '), comments=True)
    check(sorted(w for w in words if w in live) == sorted(live) and '--cacert' in words,
          'docs/api.md\'s curl names the URL, password and certificate (%s)' % ' '.join(words))
    run = subprocess.run([live.get(w, w) for w in words], capture_output=True, text=True, timeout=30)
    return run.stdout, shown


def docs_client():
    """The Python client of docs/api.md, as a function of the URL, password
    and certificate file."""
    blocks = re.findall(r'```python\n(.*?)```', auth_section(), re.S)
    check(len(blocks) == 1, 'docs/api.md shows one Python client (found %d)' % len(blocks))
    code = blocks[0] if blocks else ''
    for placeholder in (DOCS_URL, DOCS_PASSWORD, DOCS_CERT):
        check(code.count(repr(placeholder)) == 1, 'docs/api.md\'s Python client holds %r once' % placeholder)

    def run(url, password, cafile):
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(code.replace(repr(DOCS_URL), repr(url)).replace(repr(DOCS_PASSWORD), repr(password))
                 .replace(repr(DOCS_CERT), repr(cafile)), {})
        return printed.getvalue()
    return run


def check_authentication(camera):
    client = docs_client()
    own = urllib.parse.urlsplit(camera.url).netloc
    check(camera.url.startswith('https://'), 'behind a password the camera speaks https: ' + camera.url)
    status, headers, body = send(camera, {'Host': own})
    check(status == 401, 'no credentials: HTTP %d, not 401' % status)
    check_refusal('no credentials', status, headers, body)
    printed, shown = docs_curl(camera)
    check(printed is not None and shown is not None and ordered(printed) == ordered(shown),
          'docs/api.md\'s curl with the password prints %r' % printed)
    answer = json.loads(client(camera.url, camera.password, camera.cafile))
    check_answer(answer, 'the docs\' Python client with the password')
    check(error_code(answer) is None, 'the docs\' Python client: %s' % answer)
    # A signed-in user who is no operator, before the address is turned away.
    camera.set_password('vic', 'vic\'s')
    camera.set_group('vic', 'viewer')
    viewer = camera.api(user='vic', password='vic\'s').request(VERSIONS_TEXT)
    check(viewer.status == 403, 'a viewer: HTTP %d, not 403' % viewer.status)
    check_refusal('a viewer', viewer.status, viewer.headers, viewer.body)
    # Wrong passwords until the address is turned away.
    status = None
    for _ in range(12):
        try:
            client(camera.url, camera.password + 'x', camera.cafile)
        except requests.HTTPError as e:
            status, headers, body = e.response.status_code, e.response.headers, e.response.content
            if status != 401:
                break
            check_refusal('a wrong password', status, headers, body)
    check(status == 429, 'wrong passwords: HTTP %s in the end, not 429' % status)
    if status == 429:
        check_refusal('wrong passwords', status, headers, body)


def main():
    build()
    check_docs()
    with fresh_camera() as camera:
        check_samples(camera, SAMPLES)
        check_refusals(camera)
    with fresh_camera(auth=True) as camera:
        check_authentication(camera)
    with fresh_camera(group='viewer') as camera:
        check_samples(camera, [(what, [], request, True, 2001)
                               for what, request in [('viewer: versions', VERSIONS), ('viewer: info', INFO),
                                                     ('viewer: switch', set_mode('quad'))]])
    print('check_api: %d passed, %d failed' % (passed, len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
