// The product-limit family's computation over the ranked records of one
// stratum: survival (product-limit, Breslow or Fleming-Harrington), the
// Greenwood variance, the Nelson-Aalen cumulative hazard, pointwise limits,
// the quartiles with their confidence intervals and the restricted mean.
// With a WEIGHT variable each record counts as its frequency times its
// weight. No host services: everything lives in the engine.
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "estimate/estimate.h"
#include "runtime/missing.h"

double tiesFH(double d, double Y)
{
    if (d <= 0)
        return 1.0;
    double sum = 0;
    for (double i = 0; i < d; i += 1)
        sum += 1.0 / (Y - i);
    return std::exp(-sum);
}

short integralFreqs(const double* freq, long n)
{
    for (long i = 0; i < n; ++i) {
        double a = std::fabs(freq[i]);
        if (a != std::floor(a))
            return 0;
    }
    return 1;
}

long korv_njumps(const double* times, const double* freqs, const int64_t* indxs, int64_t nobs)
{
    long n = 0;
    double last = -1.0;
    for (int64_t j = 0; j < nobs; ++j) {
        int64_t k = std::llabs(indxs[j]);
        if (freqs[k - 1] > 0 && times[k - 1] > last) {
            ++n;
            last = times[k - 1];
        }
    }
    return n;
}

void TrapBogusQuartileCL(double* quartile, double* lower, double* upper)
{
    for (int i = 0; i < 3; ++i) {
        if (wzmis(quartile[i]))
            continue;
        bool hasL = !wzmis(lower[i]), hasU = !wzmis(upper[i]);
        if (hasL && hasU) {
            if (lower[i] > quartile[i] || quartile[i] > upper[i])
                lower[i] = upper[i] = korv_missing();
        } else if (hasL) {
            if (lower[i] > quartile[i])
                lower[i] = korv_missing();
        } else if (hasU) {
            if (quartile[i] > upper[i])
                upper[i] = korv_missing();
        }
    }
}

namespace korv_est
{

PlEngine::PlEngine(const PlData& data, const PlSettings& settings) : d_(data), s_(settings)
{
    const double miss = korv_missing();
    for (int i = 0; i < 3; ++i)
        quant[i] = qtlower[i] = qtupper[i] = miss;
    test_ = korv_qt_test(s_.conftype);
    total_ = s_.weighted ? d_.cumwt : d_.cum;
    R_ = total_;
    R2_ = d_.cumwt2;
    left_ = total_;
    snap_ = total_;
    // The mean's end point: a TIMELIM= time, the largest time, or none (the
    // last event time).
    if (s_.restric >= 0)
        end_ = s_.restric;
    else
        end_ = -1;
    if (d_.nobs > 0) {
        firstTime = d_.times[std::llabs(d_.indxs[0]) - 1];
        largestTime = d_.times[std::llabs(d_.indxs[d_.nobs - 1]) - 1];
        lastIsEvent = d_.freqs[std::llabs(d_.indxs[d_.nobs - 1]) - 1] > 0;
        lastEventRecordTime = firstTime;
        for (int64_t j = d_.nobs - 1; j >= 0; --j) {
            int64_t k = std::llabs(d_.indxs[j]);
            if (d_.freqs[k - 1] > 0) {
                lastEventRecordTime = d_.times[k - 1];
                break;
            }
        }
        if (s_.restric < 0 && s_.restric != -1)
            end_ = largestTime;
    }
    mean = mse = miss;
}

void PlEngine::limits(double S, double sigma, bool emptied, double* lcl, double* ucl) const
{
    // Once the risk set is empty the variance is undefined: no limits rather
    // than limits of zero width.
    if (emptied) {
        *lcl = *ucl = korv_missing();
        return;
    }
    korvwcl(s_.conftype, sigma, s_.critical, S, lcl, ucl);
}

const PlStep& PlEngine::step(int64_t j)
{
    const double miss = korv_missing();
    const int64_t idx = d_.indxs[j];
    const int64_t k = std::llabs(idx);
    const double time = d_.times[k - 1];
    const double f = d_.freqs[k - 1];
    const double freq = std::fabs(f);
    const double w = d_.weights ? d_.weights[k - 1] : 1.0;
    const double fq = s_.weighted ? freq * w : freq;
    const double fq2 = fq * w;
    const double eps = RISK_EPS * (total_ > 0 ? total_ : 1.0);

    PlStep& r = r_;
    r.rank = j;
    r.k = k;
    r.time = time;
    r.freq = freq;
    r.weight = w;
    r.endsRun = idx > 0;
    r.last = j == d_.nobs - 1;
    r.censored = f < 0;
    r.eventTime = false;
    r.emptied = false;
    r.sigma = r.stderr_ = r.H = r.seH = r.numberAtRisk = r.observedEvents = miss;
    r.Y = r.d = miss;

    left_ -= fq;
    if (s_.weighted && left_ < 0)
        left_ = 0;
    r.left = left_;

    if (r.censored) {
        r.observedEvents = 0;
        if (s_.weighted) {
            if (time > prevTime_)
                snap_ = R_;
            R_ -= fq;
            R2_ -= fq2;
            if (r.endsRun && time > lastEvent_)
                r.numberAtRisk = snap_;
        } else {
            if (time > prevTime_ || (j == 0 && time == 0))
                snap_ = R_;
            R_ -= fq;
            if (r.endsRun && (time == 0 || time > lastEvent_))
                r.numberAtRisk = snap_;
        }
        if (std::fabs(R_) <= eps)
            R_ = 0;
        censmax = time;
        ++censoredRecords;
    } else {
        dd_ += fq;
        dd2_ += fq2;
        failed_ += fq;
        if (r.endsRun) {
            const double Y = R_;
            const double R2before = R2_;
            const double d = dd_;
            snap_ = Y;
            R_ -= d;
            if (std::fabs(R_) <= eps)
                R_ = 0;
            if (s_.weighted)
                R2_ -= dd2_;
            const double Sprev = S_, tprev = lastEvent_;

            // The mean's sums with the values before this time; the area is
            // cut at a TIMELIM= time that falls before it.
            {
                double upto = time;
                if (end_ >= 0 && upto > end_)
                    upto = end_;
                double A = upto > tprev ? (upto - tprev) * Sprev : 0.0;
                double Bnew = Gmean_ * A + B_;
                area_ += A;
                V_ += (B_ + Bnew) * A;
                B_ = Bnew;
            }

            // Survival.
            double factor;
            if (s_.method == 2)
                factor = std::exp(-d / Y);
            else if (s_.method == 3)
                factor = tiesFH(d, Y);
            else
                factor = R_ / Y;
            S_ = factor * S_;
            if (s_.weighted && S_ < 1e-12)
                S_ = 0;

            // Greenwood-type variance sum; reset when the risk set empties.
            bool emptied = R_ <= 0;
            if (emptied) {
                G_ = 0;
            } else {
                double inc = s_.weighted ? d * R2before / (Y * Y * R_) : d / (R_ * Y);
                G_ += inc;
                Gmean_ += inc;
            }

            // Nelson-Aalen.
            double h = d / Y, v = h / Y;
            H_ += h;
            W_ += v;

            // Quartile points.
            {
                double x = S_ + 1e-12;
                if (x <= lambda_) {
                    double rec = std::fabs(lambda_ - Sprev) < 1e-10 ? (tprev + time) / 2 : time;
                    while (qi_ >= 0 && x <= lambda_) {
                        lambda_ -= 0.25;
                        quant[qi_] = rec;
                        rec = time;
                        --qi_;
                    }
                }
            }

            const double sigma = std::sqrt(G_) * S_;
            // Quartile intervals.
            {
                static const double levels[3] = {0.75, 0.5, 0.25};
                static const int index[3] = {2, 1, 0};
                for (int l = 0; l < 3; ++l) {
                    int i = index[l];
                    if (qstate_[i] >= 2)
                        continue;
                    int ok = test_(S_, levels[l], sigma, s_.qtcritical);
                    if (ok && qstate_[i] == 0) {
                        qtlower[i] = time;
                        qstate_[i] = 1;
                    } else if (!ok && qstate_[i] == 1) {
                        if (s_.weighted || S_ > 0 || G_ > 0)
                            qtupper[i] = time;
                        qstate_[i] = 2;
                    }
                }
            }

            r.eventTime = true;
            r.emptied = emptied;
            r.Y = Y;
            r.d = d;
            r.sigma = sigma;
            r.stderr_ = emptied ? miss : sigma;
            r.H = H_;
            r.seH = std::sqrt(W_);
            r.numberAtRisk = Y;
            r.observedEvents = d;
            limits(S_, sigma, emptied, &r.lcl, &r.ucl);
            lastEvent_ = time;
            lastEventTime = time;
            ++eventTimes;
        }
    }
    r.eventsAtTime = dd_;
    if (r.eventTime) {
        dd_ = 0;
        dd2_ = 0;
    }
    r.S = S_;
    r.G = G_;
    r.failed = failed_;
    r.atRiskSnap = snap_;
    prevTime_ = time;
    return r;
}

void PlEngine::finish()
{
    const double miss = korv_missing();
    // The tail of the mean: from the last event time to the end point.
    if (end_ >= 0 && lastEventTime < end_) {
        double A = (end_ - lastEventTime) * S_;
        area_ += A;
        V_ += (2 * B_ + Gmean_ * A) * A;
    }
    const double n = d_.cum - d_.cen;
    const double m = std::fmax(std::fabs(n), 1.0);
    const double tol = 1.110223024625157e-13;
    mean = area_;
    if (n - 1 > m * tol) {
        mse = std::sqrt(V_ * n / (n - 1));
    } else {
        mse = miss;
        if (n <= std::fabs(n) * tol)
            mean = miss;
    }
    if (s_.weighted)
        TrapBogusQuartileCL(quant, qtlower, qtupper);

    // Bias code of the mean.
    const double restric = s_.restric;
    if (restric == -1) {
        biasCode = lastIsEvent ? 0 : (wzmis(mean) ? 6 : 4);
    } else if (restric < 0) {
        if (largestTime <= lastEventTime)
            biasCode = 0;
        else
            biasCode = wzmis(mean) ? 6 : 2;
    } else {
        if (lastIsEvent)
            biasCode = 0;
        else if (restric < lastEventTime)
            biasCode = 5;
        else if (restric >= censmax)
            biasCode = 1;
        else
            biasCode = 3;
    }
}

} // namespace korv_est
