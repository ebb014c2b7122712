"""Small text helpers of the gateway: phone numbers, amounts, operator brands, markup."""
import re

_TAG = re.compile(r"<[^>]*>")

# Operator brand by the first four digits of the national "08..." form.
_BRANDS = (
    ("TELKOMSEL", ("0811", "0812", "0813", "0821", "0822", "0823", "0851", "0852", "0853")),
    ("INDOSAT", ("0814", "0815", "0816", "0855", "0856", "0857", "0858")),
    ("XL", ("0817", "0818", "0819", "0859", "0877", "0878")),
    ("AXIS", ("0831", "0832", "0833", "0838")),
    ("TRI", ("0895", "0896", "0897", "0898", "0899")),
    ("SMARTFREN", ("0881", "0882", "0883", "0884", "0885", "0886", "0887", "0888", "0889")),
)
_SHORTCODES = {"TELKOMSEL": "TSEL", "INDOSAT": "ISAT", "XL": "XL", "AXIS": "AXIS",
               "TRI": "TRI", "SMARTFREN": "SMART"}


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


def parse_bayar(text):
    """The whole amount in a payment text ("Rp 10.000" -> 10000); None without digits."""
    digits = re.sub(r"\D", "", re.sub(r"[.,]\d{1,2}$", "", str(text or "").strip()))
    return int(digits) if digits else None


def get_brand(msisdn):
    """Operator brand of a phone number by its prefix, or None when unknown."""
    prefix = normalizemsisdn(msisdn, start="08")[:4]
    for brand, prefixes in _BRANDS:
        if prefix in prefixes:
            return brand
    return None


def get_shortcode(msisdn):
    """Short operator code ("TSEL", "ISAT", ...) of a phone number, or None."""
    return _SHORTCODES.get(get_brand(msisdn))


def remove_html_tags(text):
    """The text with every <...> tag removed."""
    return _TAG.sub("", "" if text is None else str(text))
