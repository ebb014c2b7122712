"""Plain-Python versions of the module's hot loops, kept only to measure the module against."""
import datetime

CATEGORY_TIPE = {"DEKO_TOPUP": "PULSA", "DEKO_TOPUPALL": "PULSA", "DEKO_PACKAGE": "PAKET",
                 "VAS_PRODUCTS": "PAKET", "FRC": "KPK", "SPV_BLANK": "SPV"}


def tarik_produk(conn, nomors):
    products = {}
    clean_products = []
    for code in ["0", "1", "3"]:
        result = conn.get_produk(code)
        for key in result:
            products[key] = result[key]
    for key in products:
        for p in products[key]:
            paketid = p["CODE"]
            kodeproduk = p["CODE"].replace(".", "").replace(" ", "").replace("-", "")
            kategori = key.replace("_", "")
            tipe = CATEGORY_TIPE[key] if key in CATEGORY_TIPE else key
            nama = p["DESCRIPTION"] if p["CODE"] == p["DISPLAY_NAME"] else p["DISPLAY_NAME"]
            harga = p["FINAL_PRICE"]
            clean_products.append({"kodeproduk": kodeproduk, "tipe": tipe, "paketid": paketid,
                                   "harga": harga, "kategori": kategori, "nama": nama,
                                   "keterangan": ""})
    for nomor in nomors.split(","):
        if nomor == "":
            continue
        for o in conn.get_terbaik(nomor):
            nama = (o["offerDescription"].replace("<div>", "").replace("</div>", "")
                    .replace("<p>", "").replace("</p>", ""))
            clean_products.append({
                "kodeproduk": o["offerId"].replace(".", "").replace(" ", "").replace("-", ""),
                "tipe": "CRP", "paketid": o["offerId"], "harga": o["productPrice"],
                "kategori": o["productType"], "nama": nama, "keterangan": ""})
    return clean_products


def history_pass(transaksi, tujuan, transaksitime, harga, history, status_table):
    """One matcher pass over `history`; the taken entry's outcome written into `transaksi`."""
    for h in history:
        waktu = datetime.datetime.strptime(h["submittedDate"][:-3], "%Y%m%d%H%M%S")
        detail = h["trxDetail"][0]
        nomor = detail["msisdn"] if "msisdn" in detail else None
        voucher = detail["qrvoucher"] if "qrvoucher" in detail else None
        harga_entry = h["productPrice"] if h["productPrice"] != "-" else h["finalSuccessPrice"]
        if (nomor is None and voucher is not None) or transaksi.produk.tipe.upper() == "SPV":
            nomor = voucher
        if (h["productId"] == transaksi.produk.paketid and tujuan == nomor
                and waktu >= transaksitime.replace(microsecond=0)):
            if harga is not None and harga_entry != "0" and harga_entry != "-":
                if int(float(harga_entry)) != int(harga):
                    continue
            transaksi.status = status_table[h["statusDesc"].lower()]
            transaksi.serialnumber = detail["batchId"]
            return transaksi
    return None


def previous_product_mode(transaksi, harga, history, normalizemsisdn, status_table):
    for h in history:
        if h["productId"] != transaksi.produk.paketid:
            continue
        detail = h["trxDetail"][0]
        if normalizemsisdn(transaksi.tujuan, start="08") != detail["msisdn"]:
            continue
        if harga is not None and int(float(h["finalSuccessPrice"])) != int(harga):
            continue
        transaksi.status = status_table[h["statusDesc"].lower()]
        transaksi.pesan = ("Transaksi sudah pernah berhasil utk pembelian paket ke " + str(transaksi.tujuan)
                           + " sebesar " + str(int(float(h["productPrice"]))) + " .")
        transaksi.serialnumber = detail["batchId"]
        return transaksi
    return None


class PipelineConnection:
    """The request pipeline as plain Python, without re-login (the benchmark never expires)."""

    def __init__(self, terminal, http):
        self.terminal = terminal
        self.http = http

    def makerequest(self, request, **options):
        try:
            options["auth"] = self.terminal.auth_token
            req = request(**options)
            req.makerequest(self.http, self.terminal.logging)
            if not req.conn:
                return None
            if req is not None and not req.sukses and req.error_msg == "invalid_token":
                raise RuntimeError("not measured")
            return req
        except Exception as e:
            self.terminal.logException(e)
            return None
