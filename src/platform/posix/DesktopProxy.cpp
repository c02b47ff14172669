#include "platform/posix/DesktopProxy.h"

#include <gio/gio.h>

#include <algorithm>

namespace quon {
namespace {

constexpr guint kSliceMs = 100;

struct Lookup {
  bool done = false;
  gchar** proxies = nullptr;
};

void OnLookedUp(GObject* source, GAsyncResult* result, gpointer data) {
  auto* lookup = static_cast<Lookup*>(data);
  lookup->proxies = g_proxy_resolver_lookup_finish(G_PROXY_RESOLVER(source), result, nullptr);
  lookup->done = true;
}

gboolean WakeUp(gpointer) { return G_SOURCE_CONTINUE; }

bool UsableScheme(std::string_view proxy) {
  for (std::string_view scheme : {"http://", "socks4://", "socks4a://", "socks5://", "socks5h://"}) {
    if (proxy.substr(0, scheme.size()) == scheme) return true;
  }
  return false;
}

}  // namespace

std::string DesktopProxyFor(GProxyResolver* resolver, const std::string& url, const CancelFlag* cancel) {
  if (!resolver) resolver = g_proxy_resolver_get_default();  // always one that works here
  if (!resolver) return {};

  // The lookup may take its time (a PAC script, a desktop service), so it
  // runs asynchronously on a context of this thread's own, woken every
  // slice to look at the cancel flag.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancellable = g_cancellable_new();
  GSource* wake = g_timeout_source_new(kSliceMs);
  g_source_set_callback(wake, WakeUp, nullptr, nullptr);
  g_source_attach(wake, context);
  Lookup lookup;
  g_proxy_resolver_lookup_async(resolver, url.c_str(), cancellable, OnLookedUp, &lookup);
  bool cancelled = false;
  while (!lookup.done) {
    if (!cancelled && cancel && cancel->IsCancelled()) {
      cancelled = true;
      g_cancellable_cancel(cancellable);  // the lookup then ends with an error
    }
    g_main_context_iteration(context, TRUE);
  }
  g_source_destroy(wake);
  g_source_unref(wake);
  g_object_unref(cancellable);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);

  std::string proxy;
  for (gchar** p = lookup.proxies; p && *p; ++p) {
    std::string_view candidate(*p);
    if (candidate == "direct://") break;
    if (UsableScheme(candidate)) {
      proxy = std::string(candidate);
      break;
    }
  }
  g_strfreev(lookup.proxies);
  if (cancelled) throw CancelledException();
  return proxy;
}

std::string WithoutUserInfo(std::string_view proxy) {
  const size_t scheme = proxy.find("://");
  const size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
  const size_t end = std::min(proxy.find('/', start), proxy.size());
  const size_t at = proxy.substr(start, end - start).rfind('@');
  if (at == std::string_view::npos) return std::string(proxy);
  return std::string(proxy.substr(0, start)) + std::string(proxy.substr(start + at + 1));
}

}  // namespace quon
