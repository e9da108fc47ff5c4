// Asio's TLS layer, compiled once.
#include <boost/asio/ssl/impl/src.hpp>
