"""The stand-in agent's http.client layer, which the demo and the soak run through."""

import http.client

import pytest

from tw_vantrel import http_patch


@pytest.mark.parametrize(
    "connection, target, url",
    [
        # origin-form: the connection names the host, whatever the query holds
        (http.client.HTTPConnection("skip.example"), "/?next=http://evil.example/", "http://skip.example/?next=http://evil.example/"),
        (http.client.HTTPConnection("skip.example"), "/a://b", "http://skip.example/a://b"),
        (http.client.HTTPSConnection("skip.example", 8443), "/p", "https://skip.example:8443/p"),
        (http.client.HTTPConnection("::1", 8080), "/", "http://[::1]:8080/"),
        # absolute-form, as sent through a proxy: the target names the host
        (http.client.HTTPConnection("proxy.example", 3128), "http://api.example/p", "http://api.example/p"),
        (http.client.HTTPConnection("proxy.example", 3128), "HTTPS://api.example/p", "HTTPS://api.example/p"),
    ],
)
def test_the_url_asked_about_is_the_one_the_request_goes_to(connection, target, url):
    assert http_patch.full_url(connection, target) == url
