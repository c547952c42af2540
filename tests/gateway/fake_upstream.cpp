#include "tests/gateway/fake_upstream.hpp"

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <thread>

namespace zolt::gateway::testing {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

struct FakeUpstream::Impl {
    Handler handler;
    net::io_context context;
    tcp::acceptor acceptor{context};
    std::thread accept_thread;
    mutable std::mutex mutex;
    std::vector<std::string> targets;
    std::vector<std::thread> workers;
    std::atomic<int> in_flight{0};
    std::atomic<bool> stopping{false};
};

FakeUpstream::FakeUpstream(Handler handler) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    impl_->accept_thread = std::thread([this] {
        Impl& s = *impl_;
        for (;;) {
            beast::error_code ec;
            tcp::socket socket(s.context);
            s.acceptor.accept(socket, ec);
            if (ec || s.stopping) return;
            std::lock_guard lock(s.mutex);
            s.workers.emplace_back([this, socket = std::move(socket)]() mutable {
                Impl& w = *impl_;
                beast::flat_buffer buffer;
                http::request<http::empty_body> request;
                beast::error_code read_ec;
                http::read(socket, buffer, request, read_ec);
                if (read_ec) return;
                const std::string target(request.target());
                {
                    std::lock_guard inner(w.mutex);
                    w.targets.push_back(target);
                }
                const int now = ++w.in_flight;
                int seen = max_in_flight_.load();
                while (now > seen && !max_in_flight_.compare_exchange_weak(seen, now)) {
                }
                const FakeAnswer answer = w.handler(target);
                std::this_thread::sleep_for(answer.delay);
                --w.in_flight;
                http::response<http::string_body> response(static_cast<http::status>(answer.status),
                                                           11);
                if (!answer.location.empty()) {
                    response.set(http::field::location, answer.location);
                }
                response.body() = answer.body;
                response.keep_alive(false);
                response.prepare_payload();
                beast::error_code write_ec;
                http::write(socket, response, write_ec);
                socket.shutdown(tcp::socket::shutdown_both, write_ec);
            });
        }
    });
}

FakeUpstream::~FakeUpstream() {
    impl_->stopping = true;
    beast::error_code ec;
    // A connection to ourselves wakes the blocking accept.
    tcp::socket poke(impl_->context);
    poke.connect(impl_->acceptor.local_endpoint(), ec);
    impl_->accept_thread.join();
    impl_->acceptor.close(ec);
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(impl_->mutex);
        workers.swap(impl_->workers);
    }
    for (auto& t : workers) t.join();
}

unsigned short FakeUpstream::port() const { return impl_->acceptor.local_endpoint().port(); }

std::vector<std::string> FakeUpstream::targets() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->targets;
}

int FakeUpstream::hits() const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<int>(impl_->targets.size());
}

}  // namespace zolt::gateway::testing
