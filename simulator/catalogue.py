"""The simulated provider's catalogue and its number helpers.

``BASE_CATALOGUE`` is the regular catalogue (category code -> product-type key -> products),
``build_catalogue`` pads it to a size, and ``offers_for`` gives a subscriber number its best
offers. ``national``, ``msisdn62`` and ``msisdn08`` write a phone number the three ways the
provider does; ``whole`` reads a price.
"""
import hashlib
import json
import re

# Regular catalogue: category code -> product-type key -> products.
BASE_CATALOGUE = {
    "0": {
        "DEKO_TOPUP": [
            {"CODE": "TP5", "DISPLAY_NAME": "Pulsa 5.000", "DESCRIPTION": "Pulsa reguler 5rb", "FINAL_PRICE": 6000},
            {"CODE": "TP10", "DISPLAY_NAME": "Pulsa 10.000", "DESCRIPTION": "Pulsa reguler 10rb", "FINAL_PRICE": 10500},
            {"CODE": "TP25", "DISPLAY_NAME": "TP25", "DESCRIPTION": "<b>Pulsa</b> 25.000", "FINAL_PRICE": "25500"},
            {"CODE": "TP50", "DISPLAY_NAME": "Pulsa 50.000", "DESCRIPTION": "Pulsa reguler 50rb", "FINAL_PRICE": 50250},
        ],
        "DEKO_TOPUPALL": [
            {"CODE": "TPA20", "DISPLAY_NAME": "Pulsa All 20rb", "DESCRIPTION": "Pulsa semua operator", "FINAL_PRICE": 20500},
            {"CODE": "TPA.50", "DISPLAY_NAME": "Pulsa All 50rb", "DESCRIPTION": "Pulsa semua operator", "FINAL_PRICE": "50500"},
        ],
        "SPV_BLANK": [
            {"CODE": "SPV5", "DISPLAY_NAME": "Voucher Perdana 5GB", "DESCRIPTION": "<p>Voucher kosong 5GB</p>", "FINAL_PRICE": 30000},
            {"CODE": "SPV-10GB", "DISPLAY_NAME": "SPV-10GB", "DESCRIPTION": "<p>Voucher kosong <b>10GB</b></p>", "FINAL_PRICE": 50000},
        ],
    },
    "1": {
        "DEKO_PACKAGE": [
            {"CODE": "X1.5-G 2", "DISPLAY_NAME": "Xtra 1.5GB 2 Hari", "DESCRIPTION": "<div>Kuota 1.5GB</div> 2 hari", "FINAL_PRICE": 12000},
            {"CODE": "DP 10GB", "DISPLAY_NAME": "Paket 10GB 30 Hari", "DESCRIPTION": "Kuota 10GB 30 hari", "FINAL_PRICE": 65000},
            {"CODE": "DP30", "DISPLAY_NAME": "DP30", "DESCRIPTION": "<div>Kuota <b>30GB</b></div><br>30 hari", "FINAL_PRICE": "110000"},
        ],
        "VAS_PRODUCTS": [
            {"CODE": "VAS.MUSIC", "DISPLAY_NAME": "Langganan Musik 30 Hari", "DESCRIPTION": "Musik tanpa batas", "FINAL_PRICE": 15000},
        ],
        "DEKO_TOPUPALL": [
            {"CODE": "TPA100", "DISPLAY_NAME": "Pulsa All 100rb", "DESCRIPTION": "Pulsa semua operator", "FINAL_PRICE": 100500},
        ],
    },
    "3": {
        "FRC": [
            {"CODE": "FRC-KPK1", "DISPLAY_NAME": "Paket Ketengan Harian", "DESCRIPTION": "Kuota ketengan 1 hari", "FINAL_PRICE": 3000},
            {"CODE": "FRC 7D", "DISPLAY_NAME": "FRC 7D", "DESCRIPTION": "<p>Kuota ketengan <b>7 hari</b></p>", "FINAL_PRICE": 9000},
        ],
        "NEW_TYPE": [
            {"CODE": "NT1", "DISPLAY_NAME": "Produk Baru", "DESCRIPTION": "Produk jenis baru", "FINAL_PRICE": "7000"},
        ],
    },
}


def national(number):
    """Digits of a phone number without its country or trunk prefix ("812...")."""
    digits = re.sub(r"\D", "", "" if number is None else str(number))
    if digits.startswith("62"):
        digits = digits[2:]
    return digits[1:] if digits.startswith("0") else digits


def msisdn62(number):
    return "62" + national(number)


def msisdn08(number):
    return "0" + national(number)


def whole(value):
    """A price as a whole number (text or number, decimals truncated); None if not a price."""
    try:
        return int(float(str(value).strip()))
    except (TypeError, ValueError, OverflowError):
        return None


def build_catalogue(size=None):
    """The regular catalogue; with ``size``, padded with generated products to about that many."""
    catalogue = json.loads(json.dumps(BASE_CATALOGUE))
    slots = [(cat, key) for cat in sorted(catalogue) for key in catalogue[cat]]
    extra = max(0, int(size or 0) - sum(len(p) for c in catalogue.values() for p in c.values()))
    for i in range(extra):
        cat, key = slots[i % len(slots)]
        price = 1000 + (i % 200) * 500
        catalogue[cat][key].append({
            "CODE": "G%s.%05d" % (key[:3], i),
            "DISPLAY_NAME": "Produk %s %d" % (key.title().replace("_", " "), i),
            "DESCRIPTION": "<p>Produk generik nomor %d</p>" % i,
            "FINAL_PRICE": str(price) if i % 5 == 0 else price,
        })
    return catalogue


def offers_for(number):
    """2 to 4 best offers for a subscriber number, always the same for the same number."""
    digest = hashlib.sha1(national(number).encode("ascii")).hexdigest()
    offers = []
    for i in range(2 + int(digest[0], 16) % 3):
        gb = (1, 3, 5, 10, 15, 25)[int(digest[i + 1], 16) % 6]
        price = gb * 5000 + (int(digest[i + 5], 16) % 4) * 1000
        offers.append({
            "offerId": "OF-%s.%d" % (digest[:6].upper(), i + 1),
            "productType": ("DATA_PACKAGE", "VOICE_SMS", "COMBO_PACK", "DATA_PACKAGE")[i],
            "productPrice": str(price) if i == 1 else price,
            "offerDescription": "<p>Kuota <div>%dGB</div></p><p>Berlaku 30 hari</p>" % gb,
            "offerShortDesc": "Kuota %dGB 30 Hari" % gb,
            "recommendationName": "REKOMENDASI_%d" % (i + 1),
            "registrationKey": digest[8 + i * 4:16 + i * 4],
            "retailerIncentive": 250 * (1 + int(digest[i + 9], 16) % 4),
        })
    return offers
