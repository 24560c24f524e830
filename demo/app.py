"""The monitored application of the demo: a few outbound requests from ordinary functions.

Run by demo.py in a child interpreter with the native library preloaded. Prints one JSON
document: what the agent captured for each request, and what the native library received.
"""

import contextvars
import ctypes
import http.client
import json
import sys
import urllib.request

from tw_vantrel import http_patch, thread_local

SKIP_HOSTS = ["127.0.0.1", "telemetry.example.com"]
# The application's own services: the only hosts its trace headers may go to.
TARGETS = ["localhost", ".internal.example"]
CONFIG = {
    "sink_url": "https://sink.example/graphql",
    "api_key": "demo-api-key",
    "service_uuid": "3f2b8c1e-5d4a-4e6f-9a7b-1c2d3e4f5a6b",
}


def fetch_orders(port):
    with urllib.request.urlopen(f"http://localhost:{port}/orders?req=1") as response:
        response.read()


def check_health(port):
    connection = http.client.HTTPConnection("127.0.0.1", port)
    connection.request("GET", "/health?req=2")
    connection.getresponse().read()
    connection.close()


def checkout(port):
    thread_local.funcspan_override_ctx.set("checkout-span")
    connection = http.client.HTTPConnection("localhost", port)
    connection.request("POST", "/checkout?req=3", body=b"{}")
    connection.getresponse().read()
    connection.close()
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/audit?req=4") as response:
        response.read()


def background_job(port):
    with urllib.request.urlopen(f"http://localhost:{port}/jobs?req=5") as response:
        response.read()


def notify_customer(port):
    # A customer's webhook, sent through the egress proxy (the demo's server stands in for it):
    # the request names its destination in absolute form, which is no target.
    connection = http.client.HTTPConnection("127.0.0.1", port)
    connection.request("POST", "http://hooks.customer.example/order-shipped?req=6", body=b"{}")
    connection.getresponse().read()
    connection.close()


def ship_and_pay(port, numbers):
    # The application's own package, installed into site-packages, and a library vendored into
    # its tree: where each request is attributed depends on what the agent was told of them.
    import orders_service.api
    import paylib

    orders_service.api.ship_order(port, numbers[0])
    paylib.charge(port, numbers[1])


def native_library_state():
    library = ctypes.CDLL(None)
    library.tw_standin_value.restype = ctypes.c_char_p
    library.getenv.restype = ctypes.c_char_p
    received = {}
    for entry in ("tw_set_sink_url", "tw_set_api_key", "tw_set_service_uuid"):
        value = library.tw_standin_value(entry.encode())
        received[entry] = value.decode() if value is not None else None
    initialized = library.getenv(b"TW_INITIALIZED")
    return {
        "received": received,
        "initialize_calls": library.tw_standin_calls(b"tw_initialize"),
        "TW_INITIALIZED": initialized.decode() if initialized is not None else None,
    }


def main():
    port = int(sys.argv[1])
    tree = json.loads(sys.argv[2])
    sys.path[:0] = [tree["site_packages"], tree["vendor"]]
    http_patch.install(SKIP_HOSTS, targets=TARGETS, **CONFIG)
    fetch_orders(port)
    check_health(port)
    contextvars.copy_context().run(checkout, port)
    # A job started in a context of its own gets a trace id of its own.
    contextvars.Context().run(background_job, port)
    notify_customer(port)
    # First by the built-in rule alone, then told where the application's code lives.
    ship_and_pay(port, ("7", "8"))
    http_patch.locate_user_code(tree["include"], tree["exclude"])
    ship_and_pay(port, ("9", "10"))
    http_patch.uninstall()
    json.dump({"requests": http_patch.captured, "native": native_library_state(),
               "config": CONFIG, "skip_hosts": SKIP_HOSTS, "targets": TARGETS,
               "include": tree["include"], "exclude": tree["exclude"]}, sys.stdout)


if __name__ == "__main__":
    main()
