#include "modelstats.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <boost/math/distributions/fisher_f.hpp>

namespace tool::models {

double bic(double sse, int n, int k)
{
    const double nd = static_cast<double>(n);
    return nd * std::log(sse / nd) + static_cast<double>(k) * std::log(nd);
}

double fUpperTail(double f, int df1, int df2)
{
    if (!(f > 0) || !std::isfinite(f) || df1 < 1 || df2 < 1) return 1.0;
    const boost::math::fisher_f_distribution<double> distribution(df1, df2);
    return boost::math::cdf(boost::math::complement(distribution, f));
}

std::size_t benjaminiHochbergPassing(std::vector<double> p, double q)
{
    std::sort(p.begin(), p.end());
    const double m = static_cast<double>(p.size());
    for (std::size_t i = p.size(); i > 0; --i)
        if (p[i - 1] <= static_cast<double>(i) * q / m) return i;
    return 0;
}

double median(std::vector<double> values)
{
    if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
    const std::size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(mid), values.end());
    const double upper = values[mid];
    if (values.size() % 2) return upper;
    return (upper + *std::max_element(values.begin(), values.begin() + std::ptrdiff_t(mid))) / 2;
}

} // namespace tool::models
