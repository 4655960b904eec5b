"""The API's requests and answer texts, byte for byte, as the system tests,
the load run and the benchmarks compare them; tools/wrk.lua reads them from
the file write_mix() makes. Each answer goes on the wire with "\\r\\n".
"""
import json

MESSAGES = {
    1000: "Invalid parameter value.",
    2001: "Access forbidden.",
    2002: "HTTP request type not supported. Only POST supported.",
    2003: "The requested API version is not supported.",
    2004: "Method not supported.",
    4000: "The provided JSON input was invalid.",
    4002: "The type of a provided JSON parameter was incorrect.",
    8000: "Internal error, could not complete request.",
}
# In a request for wrk: a number of the request's own.
CONTEXT = "<ctx>"


def request(method, params=None, version="1.0", context=None):
    fields = {"method": method}
    if version is not None:
        fields["apiVersion"] = version
    if context is not None:
        fields["context"] = context
    if params is not None:
        fields["params"] = params
    return json.dumps(fields)


def answer(method, data=None, code=None, context=None):
    fields = {"apiVersion": "1.0"}
    if context is not None:
        fields["context"] = context
    fields["method"] = method
    if code is None:
        fields["data"] = data if data is not None else {}
    else:
        fields["error"] = {"code": code, "message": MESSAGES[code]}
    return json.dumps(fields)


def batch(*texts):
    return "[" + ", ".join(texts) + "]"


def wire(text):
    return text.encode() + b"\r\n"


def versions(context=None):
    return request("getSupportedVersions", version=None, context=context)


def versions_answer(context=None):
    return answer("getSupportedVersions", {"apiVersions": ["1.0"]}, context=context)


def info(context=None):
    return request("getViewModeInfo", context=context)


def info_answer(current, modes=("single", "quad"), context=None):
    return answer("getViewModeInfo", {"current": current, "viewModes": list(modes)}, context=context)


def set_mode(mode, context=None):
    return request("setViewMode", {"value": mode}, context=context)


def set_answer(context=None):
    return answer("setViewMode", context=context)


BROKEN = '{"method": "getViewModeInfo", "apiVersion": '
GET_ANSWER = answer("unknown", code=2002)
BROKEN_ANSWER = answer("unknown", code=4000)


def write_mix(path, mix):
    """The file of tools/wrk.lua: a round of requests, each "> METHOD BODY"
    and one "= ANSWER" line per answer it may get ("= *": any JSON)."""
    with open(path, "w") as f:
        for method, body, answers in mix:
            f.write(f"> {method} {body or ''}\n" + "".join(f"= {text}\n" for text in answers))
