"""Small text helpers of the gateway: phone numbers and markup (and the names the host has besides)."""
import re

_TAG = re.compile(r"<[^>]*>")


def normalizemsisdn(number, start="62"):
    """A phone number in the gateway's normal form.

    Only digits are kept. A number written as "62812...", "0812..." or "812..." is
    given the prefix ``start``: "62812..." by default, "0812..." with start "08" (or
    "0"). Digits in any other form come back unchanged.
    """
    digits = re.sub(r"\D", "", "" if number is None else str(number))
    if digits.startswith("62"):
        national = digits[2:]
        if national.startswith("0"):
            national = national[1:]
    elif digits.startswith("0"):
        national = digits[1:]
    elif digits.startswith("8"):
        national = digits
    else:
        return digits
    if start in ("0", "08"):
        return "0" + national
    return str(start) + national


# The connection module binds these three as it loads and calls none of them: they are the host's
# own (amounts of payment texts, a number's operator brand and its short code).
def parse_bayar(text):
    """The whole amount in a payment text; the host's own."""


def get_brand(msisdn):
    """The operator brand of a phone number; the host's own."""


def get_shortcode(msisdn):
    """The operator's short code of a phone number; the host's own."""


def remove_html_tags(text):
    """The text with every <...> tag removed."""
    return _TAG.sub("", "" if text is None else str(text))
