// The messaging-library comparison: REQ/REP round trips over loopback TCP
// with the same message sizes. Built only when libzmq is found.
#include <zmq.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"

namespace bench {

bool ZmqRoundTrips(const std::string& request, const std::string& reply, int warm, int n,
                   std::vector<int64_t>* samples, const std::function<void()>& onReady) {
  // One context per side, as two processes would have; each starts its I/O
  // thread from the thread that makes its first socket, so the placement of
  // the calling thread holds for them too.
  void* serverCtx = zmq_ctx_new();
  void* rep = zmq_socket(serverCtx, ZMQ_REP);
  int zero = 0;
  zmq_setsockopt(rep, ZMQ_LINGER, &zero, sizeof zero);
  const int timeoutMs = 5000;  // a failed client must not leave the server waiting
  zmq_setsockopt(rep, ZMQ_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
  if (zmq_bind(rep, "tcp://127.0.0.1:*") != 0) return false;
  char endpoint[128];
  size_t endpointSize = sizeof endpoint;
  zmq_getsockopt(rep, ZMQ_LAST_ENDPOINT, endpoint, &endpointSize);
  const int total = warm + n;

  std::thread server([&] {
    std::vector<char> in(request.size() + 64);
    for (int i = 0; i < total; ++i) {
      if (zmq_recv(rep, in.data(), in.size(), 0) < 0) return;
      if (zmq_send(rep, reply.data(), reply.size(), 0) < 0) return;
    }
  });

  void* clientCtx = zmq_ctx_new();
  void* req = zmq_socket(clientCtx, ZMQ_REQ);
  zmq_setsockopt(req, ZMQ_LINGER, &zero, sizeof zero);
  bool ok = zmq_connect(req, endpoint) == 0;
  std::vector<char> out(reply.size() + 64);
  if (ok && onReady) onReady();
  for (int i = 0; ok && i < total; ++i) {
    const int64_t t0 = NowNs();
    ok = zmq_send(req, request.data(), request.size(), 0) >= 0 &&
         zmq_recv(req, out.data(), out.size(), 0) == static_cast<int>(reply.size());
    const int64_t t1 = NowNs();
    if (i >= warm) samples->push_back(t1 - t0);
  }
  server.join();
  zmq_close(req);
  zmq_close(rep);
  zmq_ctx_term(clientCtx);
  zmq_ctx_term(serverCtx);
  return ok;
}

}  // namespace bench
