"""What the console demo and the desktop window share: the demo terminal's settings, the provider's
clock, records from catalogue entries, destinations checked and normalised, amounts in Rupiah, and
the one-line stop. Nothing here loads Qt."""
import datetime
import re
import sys

from apps.deko.libs.utils.tools import normalizemsisdn

CHIP = "081200000001"  # the retailer's chip, registered with the simulated provider
PIN = "1234"
PROVIDER_ZONE = datetime.timezone(datetime.timedelta(hours=7))
# A phone number as an operator or a terminal may write it: digits, with spaces, dots, dashes,
# brackets and a leading "+" between them.
WRITTEN_NUMBER = re.compile(r"\+?[\d\s().-]+")
NATIONAL_NUMBER = re.compile(r"08\d{8,11}")  # the "08" form of an Indonesian mobile number


def deko_settings(reply_port, reply_ip="127.0.0.1"):
    """The terminal's provider settings (``config.deko``): every key the module reads."""
    return {"nomor": CHIP, "idretail": "RTL001", "nomor_transaksi": "TRX001",
            "reply_ip": reply_ip, "reply_port": reply_port}


def provider_now():
    """The provider's wall clock, UTC+7 without a zone, as its history writes times: the
    ``transaksitime`` of a purchase, taken before the purchase is sent."""
    return datetime.datetime.now(PROVIDER_ZONE).replace(tzinfo=None)


def record_for(entry, tujuan):
    """A purchase record of the catalogue's ``entry`` for the number ``tujuan``."""
    from apps.deko.models.objects.transaksi import Produk, Transaksi

    return Transaksi(Produk.dari_katalog(entry), tujuan, pin=PIN)


def destination(text):
    """``(number, None)``: the number in the host's "08" form, or ``(None, reason)`` when ``text``
    is no phone number (the reason in the operator's words)."""
    written = str(text or "").strip()
    if not written:
        return None, "nomor tujuan kosong"
    if not WRITTEN_NUMBER.fullmatch(written):
        return None, "%r bukan nomor telepon (hanya angka, spasi, titik, tanda hubung dan + di depan)" % written
    number = normalizemsisdn(written, start="08")
    if not NATIONAL_NUMBER.fullmatch(number):
        return None, "%r bukan nomor seluler Indonesia (08..., 628... atau +628..., 10-13 angka)" % written
    return number, None


def rupiah(value):
    """``10500`` -> "Rp 10.500"; a value that is no amount comes back as text."""
    try:
        return "Rp " + "{:,}".format(int(float(value))).replace(",", ".")
    except (TypeError, ValueError, OverflowError):
        return str(value)


def stop(message):
    """One line on standard error; the command's exit status 1."""
    print(message, file=sys.stderr, flush=True)
    return 1
