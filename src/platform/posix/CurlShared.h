// What the sessions, connections and requests of one CurlHttpClient share.
#pragma once
#include <curl/curl.h>
#include <gio/gio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/CurlHttpClient.h"

namespace quon {

// Credentials given at the proxy prompt, for the proxy they were given for.
struct ProxyCredentials {
  std::string proxy;  // without user information
  std::string user;
  std::string password;
  unsigned long schemes = 0;  // what the proxy offered; 0: unknown
};

// What every session of one client shares for the client's whole life: the
// cookie store (in memory only), the proxy credentials and the extra
// certificate authorities.
struct CurlHttpClient::Shared {
  Shared(UserPrompts& prompts, GProxyResolver* resolver, std::string_view extraCaPem, ProxySetting proxy)
      : prompts(prompts), resolver(resolver), proxy(std::move(proxy)) {
    ReadCertificates(extraCaPem);
    if (resolver) g_object_ref(resolver);
    share = curl_share_init();
    if (!share) throw std::bad_alloc();
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Shared::Lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Shared::Unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  }
  ~Shared() {
    curl_share_cleanup(share);
    if (resolver) g_object_unref(resolver);
    for (X509* cert : extraCas) X509_free(cert);
  }

  // The PEM certificates, read once; text around and between them is
  // skipped, as in any PEM bundle.
  void ReadCertificates(std::string_view pem) {
    if (pem.empty()) return;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio) throw std::bad_alloc();
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) extraCas.push_back(cert);
    BIO_free(bio);
    ERR_clear_error();
  }

  // The extra authorities join the system's store that libcurl has loaded
  // into a connection's context.
  void AddExtraCas(SSL_CTX* context) const {
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    for (X509* cert : extraCas) {
      // One already there (a connection reusing the store) stays as it is.
      if (X509_STORE_add_cert(store, cert) != 1) ERR_clear_error();
    }
  }

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Shared*>(user)->locks[data % CURL_LOCK_DATA_LAST].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<Shared*>(user)->locks[data % CURL_LOCK_DATA_LAST].unlock();
  }

  void KeepCredentials(ProxyCredentials given) {
    std::lock_guard<std::mutex> lock(credentialsMutex);
    credentials = std::move(given);
  }
  bool CredentialsFor(const std::string& proxy, ProxyCredentials& out) {
    std::lock_guard<std::mutex> lock(credentialsMutex);
    if (credentials.user.empty() && credentials.password.empty()) return false;
    if (credentials.proxy != proxy) return false;
    out = credentials;
    return true;
  }

  UserPrompts& prompts;
  GProxyResolver* resolver;
  ProxySetting proxy;  // the administrator's choice
  CURLSH* share = nullptr;
  std::vector<X509*> extraCas;
  std::mutex locks[CURL_LOCK_DATA_LAST];
  std::mutex credentialsMutex;
  ProxyCredentials credentials;
};

}  // namespace quon
