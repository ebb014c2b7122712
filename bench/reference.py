"""Plain-Python versions of the module's hot loops, kept only to measure the module against."""
import datetime
import threading

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


class PlainConnection(PipelineConnection):
    """The connection's hot operations as a plain-Python module of the same behaviour would write
    them: balance, product and menu checks, the purchase with its history lookup after a lost
    answer (all attempts of a record one purchase, a purchase that raises leaving no verdict it
    did not reach) and the history matcher (entries claimed per terminal, a number written another
    way the same subscriber). Globals are looked up on `env`, as the module reads its own at call
    time: requests, sleep, InqueryDetail, normalizemsisdn, remove_html_tags, DEKO_STATUS."""

    claims = {}  # per terminal: batch ids taken
    open_purchases = threading.local()

    def __init__(self, terminal, http, env):
        PipelineConnection.__init__(self, terminal, http)
        self.env = env

    def console(self, text, level):
        self.terminal.console(text, level)

    def cek_saldo(self, check_login=False):
        if not check_login:
            self.console("Mengecek Saldo...", "default")
        req = self.makerequest(self.env.requests.Balance)
        if req is not None and req.sukses:
            self.console("Login Berhasil" if check_login else "Cek Saldo Berhasil", "sukses")
            return req.balance
        return {"Total": "0"}

    def cek(self, transaksi, console=True):
        produk = transaksi.produk
        req = self.makerequest(self.env.requests.Produk, kategori=produk.kategori)
        if not req != None:  # noqa: E711 - compared as the module compares it
            self.console("Cek Paket Gagal", "gagal")
            transaksi.status, transaksi.pesan = "gagal", "Koneksi Terputus"
            return transaksi
        if not req.sukses:
            self.console(req.error_msg, "gagal")
            transaksi.status, transaksi.pesan = "gagal", req.error_msg
            return transaksi
        p = req.get_produk(produk.paketid, produk.kategori)
        if p is None:
            self.console("Produk Tidak Ditemukan, Pastikan PAKETID dan KATEGORI Produk Sudah Benar", "gagal")
            transaksi.status, transaksi.pesan = "gagal", "Produk Tidak Ditemukan"
            return transaksi
        shown = p["CODE"] if p["CODE"] == p["DISPLAY_NAME"] else "(" + str(p["CODE"]) + ") " + str(p["DISPLAY_NAME"])
        if console:
            self.console("Cek Produk " + str(shown) + " dengan harga " + str(p["FINAL_PRICE"]) + " Berhasil", "sukses")
        transaksi.status = "sukses"
        transaksi.inq = self.env.InqueryDetail(p["FINAL_PRICE"], {"desc": self.env.remove_html_tags(p["DESCRIPTION"]),
                                                                 "nama": p["DISPLAY_NAME"]})
        transaksi.pesan = transaksi.inq.data
        produk.nama = p["DISPLAY_NAME"]
        return transaksi

    def menu_cek(self, transaksi, counter=0):
        menu = transaksi.produk.paketid.upper()
        cls = {"KPK": "CheckKPK", "SPV": "CheckSPV"}.get(menu)
        if cls is None:
            transaksi.status, transaksi.pesan = "gagal", "Menu CEK Tidak Ditemukan"
            return transaksi
        req = self.makerequest(getattr(self.env.requests, cls), msisdn=transaksi.tujuan)
        if not req != None:  # noqa: E711
            counter += 1
            if counter >= 4:
                self.console("Cek Gagal", "gagal")
                transaksi.status, transaksi.pesan = "gagal", "Koneksi Terputus"
                return transaksi
            return self.menu_cek(transaksi, counter=counter)
        if req.sukses:
            transaksi.status, transaksi.pesan = "sukses", req.data
            self.console("Cek " + str(transaksi.produk.paketid) + " Berhasil", "sukses")
        else:
            self.console(req.error_msg, "gagal")
            transaksi.status, transaksi.pesan = "gagal", "[Deko]: " + str(req.error_msg)
        return transaksi

    def transaksi(self, transaksi, counter=0):
        opened = getattr(self.open_purchases, "records", None)
        if opened is None:
            opened = self.open_purchases.records = {}
        purchase = opened.get(id(transaksi))
        if purchase is not None:
            return self._attempt(transaksi, counter, purchase)
        purchase = opened[id(transaksi)] = {"first": None, "sent": False, "status": transaksi.status}
        try:
            return self._attempt(transaksi, counter, purchase)
        except BaseException as error:
            if transaksi.status is purchase["status"]:
                transaksi.status = "pending" if purchase["sent"] else "gagal"
                transaksi.pesan = "[Deko]: " + str(error)
            raise
        finally:
            del opened[id(transaksi)]

    def _attempt(self, transaksi, counter, purchase):
        self.console("Mengirim Transaksi...", "default")
        transaksitime = datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=7))).replace(tzinfo=None)
        if purchase["first"] is None:
            purchase["first"] = transaksitime
        produk = transaksi.produk
        harga = transaksi.inq.harga
        kategori = "DEKOTOPUP" if produk.kategori == "DEKOTOPUPALL" else produk.kategori
        fields = dict(msisdn=transaksi.tujuan, pin=transaksi.pin, kodeproduk=produk.paketid, kategori=kategori,
                      nama=produk.nama, harga=harga, trx=self.terminal.config.deko["nomor_transaksi"])
        purchase["sent"] = True
        req = self.makerequest(self.env.requests.Transaksi, **fields)
        if req != None and req.sukses:  # noqa: E711
            self.console(req.msg, "sukses")
            self.console("Mengambil Transaksi Dari History...", "warning")
            transaksi.status, transaksi.pesan = "pending", req.msg
            return self.get_transaksi_history(transaksi, transaksi.tujuan, transaksitime, harga=harga)
        refusal = None
        if req != None:  # noqa: E711
            status = getattr(req, "http_status", None)
            if not (type(status) is int and status >= 500):
                self.console(req.error_msg, "gagal")
                transaksi.status, transaksi.pesan = "gagal", "[Deko]: " + str(req.error_msg)
                return transaksi
            self.console(req.error_msg, "gagal")
            refusal = "[Deko]: " + str(req.error_msg)
        self.console("Mengambil Transaksi Dari History...", "warning")
        found = self._settle(transaksi, transaksi.tujuan, purchase["first"], harga, 0)
        if found == "settled":
            return transaksi
        if found == "unreadable":
            transaksi.status, transaksi.pesan = "pending", refusal or "Koneksi Terputus"
            return transaksi
        if refusal:
            transaksi.status, transaksi.pesan = "gagal", refusal
            return transaksi
        counter += 1
        if counter >= 4:
            self.console("Pembelian Gagal", "gagal")
            transaksi.status, transaksi.pesan = "gagal", "Koneksi Terputus"
            return transaksi
        return self.transaksi(transaksi, counter=counter)

    def get_transaksi_history(self, transaksi, tujuan, transaksitime, harga=None, counter=0):
        return None if self._settle(transaksi, tujuan, transaksitime, harga, counter) == "unreadable" else transaksi

    def _settle(self, transaksi, tujuan, transaksitime, harga, counter):
        own = []
        while True:
            req = self.makerequest(self.env.requests.History)
            if req is None or not req.conn or not req.sukses:
                return "unreadable"
            taken = self._find(transaksi, tujuan, transaksitime, harga, req.history, own)
            if taken is not None:
                return "settled"
            if counter >= 5:
                return "not found"
            self.console("Belum menemukan transaksi di history...", "warning")
            self.env.sleep(1)
            counter += 1

    def _same_subscriber(self, tujuan, nomor, own):
        if not own:
            own.append(self._national(tujuan))
        return own[0] is not None and own[0] == self._national(nomor)

    def _national(self, number):
        try:
            normal = self.env.normalizemsisdn(number, start="08")
        except Exception:
            return None
        return normal if isinstance(normal, str) and normal else None

    def _find(self, transaksi, tujuan, transaksitime, harga, history, own):
        claims = self.claims.setdefault(id(self.terminal), {})
        cut = transaksitime.replace(microsecond=0)
        for h in history:
            date = h["submittedDate"]
            waktu = datetime.datetime.strptime(date[:-3] if len(date) > 14 and date.endswith("000") else date,
                                               "%Y%m%d%H%M%S")
            detail = h["trxDetail"][0]
            nomor = detail["msisdn"] if "msisdn" in detail else None
            voucher = detail["qrvoucher"] if "qrvoucher" in detail else None
            harga_entry = h["productPrice"] if h["productPrice"] != "-" else h["finalSuccessPrice"]
            by_voucher = (nomor is None and voucher is not None) or transaksi.produk.tipe.upper() == "SPV"
            if by_voucher:
                nomor = voucher
            if h["productId"] != transaksi.produk.paketid:
                continue
            as_written = tujuan == nomor
            if not as_written and (by_voucher or not isinstance(tujuan, str) or not isinstance(nomor, str)):
                continue
            if not waktu >= cut:
                continue
            if harga is not None and harga_entry != "0" and harga_entry != "-":
                if int(float(harga_entry)) != int(harga):
                    continue
            if not as_written and not self._same_subscriber(tujuan, nomor, own):
                continue
            batch = detail.get("batchId")
            if isinstance(batch, str) and batch in claims and transaksi.serialnumber != batch:
                continue
            if isinstance(batch, str):
                claims[batch] = True
            transaksi.status = self.env.DEKO_STATUS[h["statusDesc"].lower()]
            if transaksi.sukses:
                transaksi.pesan = ("Transaksi berhasil utk pembelian produk " + str(transaksi.produk.nama) + " ke "
                                   + str(tujuan) + " sebesar " + str(int(float(harga_entry))) + " .")
            else:
                transaksi.pesan = detail["statusDesc"]
            transaksi.serialnumber = detail["batchId"]
            return h
        return None
