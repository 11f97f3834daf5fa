// A non-negative float with the 53-bit significand of a double and a 64-bit
// exponent, for the path counts and lengths that leave the double range:
// more than 2^1024 shortest paths, or a path longer than the largest double.
//
// The value is m * 2^e with m in [1, 2), or zero (m == 0, e == 0). Every
// operation rounds once, to nearest, exactly as the same double operation
// would if the exponent had no bounds; so a computation that stays inside
// the double range gives the same bits in either type. Subnormal doubles
// convert exactly. Slower than a double by a small factor: searches use it
// only when doubles would overflow.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace knotwell::centrality {

struct WideFloat {
    double m = 0.0;
    std::int64_t e = 0;

    WideFloat() = default;

    // x >= 0 and finite.
    explicit WideFloat(double x) {
        if (x == 0.0) return;
        int ex = 0;
        m = 2.0 * std::frexp(x, &ex);  // frexp gives [0.5, 1)
        e = ex - 1;
    }

    // Above every finite value: the unreached marker of a distance.
    static WideFloat infinity() {
        WideFloat w;
        w.m = std::numeric_limits<double>::infinity();
        w.e = std::numeric_limits<std::int64_t>::max();
        return w;
    }

    // Rounds to the nearest double (0 or +inf beyond the range).
    double to_double() const {
        if (m == 0.0) return 0.0;
        constexpr std::int64_t kBeyond = 1 << 12;  // past both ends of the double exponents
        const std::int64_t ex = e < -kBeyond ? -kBeyond : (e > kBeyond ? kBeyond : e);
        return std::ldexp(m, static_cast<int>(ex));
    }

    friend WideFloat operator+(WideFloat a, WideFloat b) {
        if (a.m == 0.0) return b;
        if (b.m == 0.0) return a;
        if (a.e < b.e) std::swap(a, b);
        // b below 2^-60 of a is under half an ulp of a's significand: a
        // rounded sum is a itself. Otherwise the shift is exact.
        const std::int64_t shift = b.e - a.e;
        if (shift < -60) return a;
        a.m += std::ldexp(b.m, static_cast<int>(shift));
        if (a.m >= 2.0) {
            a.m *= 0.5;
            ++a.e;
        }
        return a;
    }

    friend WideFloat operator*(WideFloat a, WideFloat b) {
        if (a.m == 0.0 || b.m == 0.0) return WideFloat();
        a.m *= b.m;  // in [1, 4)
        a.e += b.e;
        if (a.m >= 2.0) {
            a.m *= 0.5;
            ++a.e;
        }
        return a;
    }

    // b != 0.
    friend WideFloat operator/(WideFloat a, WideFloat b) {
        if (a.m == 0.0) return a;
        a.m /= b.m;  // in (0.5, 2)
        a.e -= b.e;
        if (a.m < 1.0) {
            a.m *= 2.0;
            --a.e;
        }
        return a;
    }

    WideFloat& operator+=(WideFloat b) { return *this = *this + b; }

    friend bool operator==(WideFloat a, WideFloat b) { return a.e == b.e && a.m == b.m; }
    friend bool operator<(WideFloat a, WideFloat b) {
        if (a.m == 0.0 || b.m == 0.0) return a.m < b.m;
        return a.e < b.e || (a.e == b.e && a.m < b.m);
    }
    friend bool operator>(WideFloat a, WideFloat b) { return b < a; }
    friend bool operator<=(WideFloat a, WideFloat b) { return !(b < a); }
};

inline double to_double(double x) { return x; }
inline double to_double(WideFloat x) { return x.to_double(); }

}  // namespace knotwell::centrality
