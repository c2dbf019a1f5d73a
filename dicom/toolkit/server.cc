// The DICOM server: the server object and its listeners, one per port,
// plain or TLS. The intake, the command loop and the responses are in
// intake.cc, association_loop.cc and responses.cc (server_impl.h).
#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dicom/toolkit/server_impl.h"
#include "dicom/toolkit/tls_context.h"
#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

using namespace server_impl;

Server::Server(ServerEvents& events, int max_associations)
    : impl_(std::make_unique<Impl>(
          events, max_associations < 16 ? 16 : max_associations)) {}

Server::~Server() {
  std::vector<int> ports;
  {
    MutexLock lock(&impl_->mu);
    for (auto& [port, l] : impl_->listeners) ports.push_back(port);
  }
  for (int port : ports) StopListening(port);
  impl_->stopping = true;
  {
    MutexLock lock(&impl_->mu);
    while (impl_->threads != 0) impl_->changed.Wait(impl_->mu);
  }
  {
    MutexLock lock(&impl_->watch_mu);
    impl_->watch_stop = true;
  }
  impl_->watch_changed.NotifyAll();
  impl_->watchdog.join();
}

void Server::SetTimeouts(int association_seconds, int idle_seconds) {
  impl_->association_timeout = std::clamp(association_seconds, 1, kAcseTimeout);
  impl_->idle_timeout = idle_seconds < 0 ? 0 : idle_seconds;
}

void Server::SetBounds(const AssociationBounds& bounds) {
  MutexLock lock(&impl_->mu);
  impl_->bounds = bounds;
}

bool Server::Listen(int port) {
  MutexLock lock(&impl_->mu);
  if (impl_->listeners.count(port) != 0) return true;
  return impl_->OpenListener(port, nullptr);
}

bool Server::ListenTls(int port, const TlsFiles& files, std::string& error) {
  std::shared_ptr<DcmTLSTransportLayer> tls =
      MakeTlsLayer(NET_ACCEPTOR, files, error);
  if (!tls) return false;
  MutexLock lock(&impl_->mu);
  auto it = impl_->listeners.find(port);
  if (it != impl_->listeners.end()) {
    if (!it->second->secure) {
      error = "port " + std::to_string(port) + " serves plain DICOM";
      return false;
    }
    it->second->layer->SetTls(std::move(tls));
    return true;
  }
  if (!impl_->OpenListener(port, std::move(tls))) {
    error = "cannot listen on port " + std::to_string(port);
    return false;
  }
  return true;
}

bool Server::Impl::OpenListener(int port,
                                std::shared_ptr<DcmTLSTransportLayer> tls) {
  const bool secure = tls != nullptr;
  T_ASC_Network* net = nullptr;
  OFCondition cond =
      ASC_initializeNetwork(NET_ACCEPTOR, port, kAcseTimeout, &net);
  if (cond.bad()) {
    if (net != nullptr) ASC_dropNetwork(&net);
    return false;
  }
  auto* layer = new Impl::IntakeLayer(*this, std::move(tls));
  if (ASC_setTransportLayer(net, layer, 1).bad()) {
    delete layer;
    ASC_dropNetwork(&net);
    return false;
  }
  auto l = std::make_unique<Impl::Listener>();
  l->network = net;
  l->secure = secure;
  l->layer = layer;
  MaybeStartAcceptor(*l);
  listeners[port] = std::move(l);
  return true;
}

void Server::StopListening(int port) {
  std::unique_ptr<Impl::Listener> l;
  {
    MutexLock lock(&impl_->mu);
    auto it = impl_->listeners.find(port);
    if (it == impl_->listeners.end()) return;
    l = std::move(it->second);
    impl_->listeners.erase(it);
    impl_->Of(*l).stop = true;
  }
  // Requests still being read are cut short.
  {
    MutexLock lock(&impl_->watch_mu);
    for (Impl::Slot* s : impl_->slots) {
      Impl::Slot::Watch& watch = impl_->Watched(*s);
      if (s->listener == l.get() && watch.negotiating)
        watch.deadline = Clock::now();
    }
  }
  impl_->watch_changed.NotifyAll();
  {
    MutexLock lock(&impl_->mu);
    while (impl_->Of(*l).threads != 0) impl_->changed.Wait(impl_->mu);
  }
  // No intake thread uses the network any more; running associations do
  // not need it.
  ASC_dropNetwork(&l->network);
}

}  // namespace vantor::dicom
