// Beast's compiled code, once for the whole agent (BOOST_BEAST_SEPARATE_COMPILATION).
#include <boost/beast/src.hpp>
