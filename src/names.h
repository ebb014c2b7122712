// The names this module speaks: attributes and keys of the host's objects and of the provider's
// data, the host's globals and request classes, and the texts it stores. Each is defined here
// once, grouped by whose name it is; a name that two owners share (the request result `produk`
// and the record's `produk`, say) stands in the group that first needs it.
#pragma once
#include "refs.h"

namespace deko::names {

// The module's classes. "DekoConnectonThread" is the host's own spelling (without the second
// "i"): the host looks the class up by it, so it stays as the host writes it.
inline constexpr const char* kConnectionClass = "DekoConnection";
inline constexpr const char* kWorkerClass = "DekoConnectonThread";
inline constexpr const char* kHistoryThreadClass = "WaitTransaksiHistoryThread";

// Module globals bound at import (the host's modules and the standard library), looked up at call
// time; and the built-ins the module calls.
inline const Name kDatetime{"datetime"}, kSleep{"sleep"}, kJson{"json"}, kUrllib3{"urllib3"},
    kRequests{"dekorequest"}, kFuncResponse{"FuncResponse"}, kInqueryDetail{"InqueryDetail"},
    kDekoResponse{"DekoResponse"}, kCommonConnection{"CommonConnection"}, kNormalize{"normalizemsisdn"},
    kRemoveHtmlTags{"remove_html_tags"}, kParseBayar{"parse_bayar"}, kGetBrand{"get_brand"},
    kGetShortcode{"get_shortcode"}, kUuidGenerator{"uuidGenerator"}, kSqliteTransaksi{"SqliteTransaksi"},
    kTransaksiTypes{"TRANSAKSI_TYPES"}, kTipeCuan{"TIPE_CUAN"}, kDefaultProduks{"DEFAULT_PRODUKS"},
    kQThread{"QThread"}, kSignal{"Signal"};
// Qt's module, and what a thread waiting for another's re-login uses of it.
inline constexpr const char* kQtCore = "PySide2.QtCore";
inline const Name kQCoreApplication{"QCoreApplication"}, kInstance{"instance"}, kProcessEvents{"processEvents"},
    kCurrentThread{"currentThread"}, kLoopLevel{"loopLevel"}, kMainThread{"main_thread"}, kIdent{"ident"};
// In the status table (TRANSAKSI_TYPES.DEKO_STATUS); Python's built-ins.
inline const Name kDekoStatus{"DEKO_STATUS"}, kPrint{"print"}, kSuper{"super"};

// Request classes of the request models (dekorequest).
inline const Name kLoginNomor{"LoginNomor"}, kLoginOtp{"LoginOtp"}, kBalance{"Balance"}, kProdukRequest{"Produk"},
    kProdukTerbaik{"ProdukTerbaik"}, kTransaksiSPV{"TransaksiSPV"}, kTransaksiKPK{"TransaksiKPK"},
    kTransaksiTerbaik{"TransaksiTerbaik"}, kTransaksiRequest{"Transaksi"}, kCheckKPK{"CheckKPK"},
    kCheckSPV{"CheckSPV"}, kHistoryRequest{"History"};

// A request: the fields the module gives it, what a completed request carries, and its
// operations.
inline const Name kAuth{"auth"}, kMsisdn{"msisdn"}, kIdretail{"idretail"}, kOtp{"otp"}, kKategori{"kategori"},
    kPin{"pin"}, kKodeproduk{"kodeproduk"}, kHarga{"harga"}, kTrx{"trx"}, kNama{"nama"}, kCounter{"counter"};
inline const Name kConn{"conn"}, kSukses{"sukses"}, kErrorMsg{"error_msg"}, kHttpStatus{"http_status"},
    kMsg{"msg"}, kData{"data"}, kResponse{"response"}, kBalanceField{"balance"}, kProduk{"produk"},
    kHistory{"history"}, kMakerequest{"makerequest"}, kGetProduk{"get_produk"}, kProdukById{"produkById"};

// The provider's data: login answer, balance, products, offers, history entries.
inline const Name kGatewayToken{"gatewayToken"}, kTotal{"Total"}, kCode{"CODE"}, kDisplayName{"DISPLAY_NAME"},
    kDescription{"DESCRIPTION"}, kFinalPrice{"FINAL_PRICE"}, kOfferId{"offerId"}, kProductType{"productType"},
    kProductPrice{"productPrice"}, kOfferDescription{"offerDescription"}, kOfferShortDesc{"offerShortDesc"},
    kRecommendationName{"recommendationName"}, kRegistrationKey{"registrationKey"},
    kRetailerIncentive{"retailerIncentive"}, kSubmittedDate{"submittedDate"}, kProductId{"productId"},
    kFinalSuccessPrice{"finalSuccessPrice"}, kStatusDesc{"statusDesc"}, kTrxDetail{"trxDetail"},
    kQrvoucher{"qrvoucher"}, kBatchId{"batchId"};
// The provider's error text of an expired session, and its "no price".
inline const Name kInvalidToken{"invalid_token"}, kNoPrice{"-"};

// The connection object and its terminal (settings, token, console, log, OTP).
inline const Name kController{"controller"}, kTerminal{"terminal"}, kSession{"session"},
    kCommon{"commonconnection"}, kHttp{"http"}, kAuthToken{"auth_token"}, kLogging{"logging"},
    kConsole{"console"}, kLogException{"logException"}, kGetOtp{"getOtp"}, kConfig{"config"}, kDeko{"deko"},
    kTerminalH2h{"terminal_h2h"};
// Provider settings (config.deko).
inline const Name kNomor{"nomor"}, kNomorTransaksi{"nomor_transaksi"}, kReplyIp{"reply_ip"},
    kReplyPort{"reply_port"};

// The connection's methods (besides makerequest, history and get_produk above), and the one the
// host's connection adds (ambil_dari_history).
inline const Name kLogin{"login"}, kTarikProduk{"tarik_produk"}, kGetPreviousTransaksi{"get_previous_transaksi"},
    kGetTransaksiHistory{"get_transaksi_history"}, kCekSaldo{"cek_saldo"}, kGetTerbaik{"get_terbaik"},
    kGetProdukTerbaik{"get_produk_terbaik"}, kCek{"cek"}, kTransaksi{"transaksi"}, kMenuCek{"menu_cek"},
    kGetConnectionThread{"get_connection_thread"}, kAmbilDariHistory{"ambil_dari_history"};
// Their parameters (besides names of other groups: controller, terminal, request, kategori, msisdn,
// tujuan, transaksitime, harga, counter, console ...).
inline const Name kSelf{"self"}, kOptions{"options"}, kNomors{"nomors"}, kTransaksiDb{"transaksi_db"},
    kCheckLogin{"check_login"}, kOfferid{"offerid"};

// A transaction record and its product; the row of a stored transaction.
inline const Name kTipe{"tipe"}, kPaketid{"paketid"}, kTujuan{"tujuan"}, kInq{"inq"}, kStatus{"status"},
    kPesan{"pesan"}, kSerialnumber{"serialnumber"}, kJenis{"jenis"}, kIdtrx{"idtrx"},
    kTujuanReply{"tujuan_reply"}, kOrderid{"orderid"};
// A catalogue record's keys (besides kodeproduk, tipe, paketid, harga, kategori, nama), and the
// inquiry detail's.
inline const Name kKeterangan{"keterangan"}, kDesc{"desc"};

// The worker threads' attributes and Qt's.
inline const Name kFunc{"func"}, kArgs{"args"}, kKwargs{"kwargs"}, kRequest{"request"},
    kTransaksitime{"transaksitime"}, kParent{"parent"}, kRequestFinished{"request_finished"}, kEmit{"emit"},
    kExec{"exec_"}, kInit{"__init__"}, kRun{"run"};

// Texts stored in records and the console's level words ("sukses" is kSukses).
inline const Name kPending{"pending"}, kGagal{"gagal"}, kNoConnection{"Koneksi Terputus"}, kDefault{"default"},
    kWarning{"warning"};
// A console line that two operations show (the product check, the best-offer lookup).
inline constexpr const char* kPackageCheckFailed = "Cek Paket Gagal";
// Product types with requests of their own, and the category sent under another name.
inline const Name kSpv{"SPV"}, kKpk{"KPK"}, kCrp{"CRP"}, kTopupAll{"DEKOTOPUPALL"}, kTopup{"DEKOTOPUP"};

// Python's own: methods and keywords of str, datetime and urllib3.
inline const Name kUpper{"upper"}, kLower{"lower"}, kReplace{"replace"}, kSplit{"split"}, kStrftime{"strftime"},
    kNow{"now"}, kTimezone{"timezone"}, kTimedelta{"timedelta"}, kHours{"hours"}, kTzinfo{"tzinfo"},
    kMicrosecond{"microsecond"}, kStrptime{"strptime"}, kDumps{"dumps"}, kPoolManager{"PoolManager"}, kStart{"start"};

// Short texts.
inline const Name kEmpty{""}, kComma{","}, kZero{"0"}, kNationalPrefix{"08"}, kMillis{"000"},
    kSubmittedFormat{"%Y%m%d%H%M%S"};

}  // namespace deko::names
