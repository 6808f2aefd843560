#include "groupmodels.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "modelcomparison.h"
#include "modelstats.h"
#include "stringmanipulation.h"
#include "svg.h"

namespace tool::bids {

const char* const kModelChoiceRule =
    "Each run votes for the model that has the lowest BIC in the most voxels of its brain mask; the study's model is "
    "the one with the most votes, the smaller model on a tie.";

namespace {

struct Row {
    std::string run;
    std::vector<std::string> cells; // as the run's summary has them, model first
};

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> cells;
    std::istringstream in(line);
    for (std::string cell; std::getline(in, cell, '\t');) cells.push_back(cell);
    return cells;
}

double number(const std::string& cell)
{
    if (cell == "n/a" || cell.empty()) return std::nan("");
    return std::stod(cell);
}

std::string shown(double v, int decimals)
{
    if (!std::isfinite(v)) return "n/a";
    // A value that rounds to zero reads as 0, not as "-0.0000".
    if (std::abs(v) < 0.5 * std::pow(10.0, -decimals)) v = 0;
    return fixed(v, decimals);
}

// Pearson's correlation of the finite pairs (NaN for fewer than three).
double correlation(const std::vector<double>& x, const std::vector<double>& y)
{
    std::vector<std::pair<double, double>> pairs;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (std::isfinite(x[i]) && std::isfinite(y[i])) pairs.emplace_back(x[i], y[i]);
    if (pairs.size() < 3) return std::nan("");
    double mx = 0, my = 0;
    for (const auto& [a, b] : pairs) mx += a, my += b;
    mx /= double(pairs.size()), my /= double(pairs.size());
    double sxy = 0, sxx = 0, syy = 0;
    for (const auto& [a, b] : pairs) sxy += (a - mx) * (b - my), sxx += (a - mx) * (a - mx), syy += (b - my) * (b - my);
    return sxx > 0 && syy > 0 ? sxy / std::sqrt(sxx * syy) : std::nan("");
}

} // namespace

std::optional<GroupModels> groupModels(const std::vector<RunSummary>& runs)
{
    const std::vector<std::string>& columns = models::summaryColumns();
    const auto column = [&](const std::string& name) {
        return static_cast<std::size_t>(std::find(columns.begin(), columns.end(), name) - columns.begin());
    };
    std::vector<Row> rows;
    std::vector<std::string> order;                        // models by first appearance
    std::map<std::string, std::string> vote;               // run -> model
    for (const RunSummary& r : runs) {
        std::ifstream in(r.summary);
        if (!in) continue;
        std::string line;
        if (!std::getline(in, line) || split(line) != columns)
            throw std::runtime_error("cannot read the confound models of " + r.summary.string());
        double best = -1;
        for (; std::getline(in, line);) {
            std::vector<std::string> cells = split(line);
            if (cells.size() != columns.size()) throw std::runtime_error("cannot read the confound models of " + r.summary.string());
            if (std::find(order.begin(), order.end(), cells[0]) == order.end()) order.push_back(cells[0]);
            const double wins = number(cells[column("share_bic_wins")]);
            if (wins > best) best = wins, vote[r.run] = cells[0];
            rows.push_back({r.run, std::move(cells)});
        }
    }
    if (rows.empty()) return std::nullopt;

    GroupModels g;
    std::ostringstream tsv;
    tsv << "run\t" << joined(columns, "\t") << '\n';
    for (const Row& r : rows) tsv << r.run << '\t' << joined(r.cells, "\t") << '\n';
    g.tsv = tsv.str();

    std::map<std::string, int> votes;
    for (const auto& [run, model] : vote) ++votes[model];
    std::string choice = order.front();
    for (const std::string& model : order)
        if (votes[model] > votes[choice]) choice = model;

    nlohmann::ordered_json votesJson = nlohmann::ordered_json::object();
    for (const std::string& model : order) votesJson[model] = votes[model];
    std::vector<std::string> disagreeing;
    for (const auto& [run, model] : vote)
        if (model != choice) disagreeing.push_back(run);
    g.json = {{"Choice", choice},
              {"Rule", kModelChoiceRule},
              {"Votes", votesJson},
              {"Runs", vote.size()},
              {"DisagreeingRuns", disagreeing},
              {"Description", "The confound model the study's runs prefer: the task design and the additions up to and "
                              "including Choice (group_models.tsv has every run's numbers)"}};

    // Per model, the distributions across runs.
    std::ostringstream html;
    html << "<h2>Confound models</h2>\n<section id=\"confound-models\">\n<p>Each model is the task design and the "
            "confound additions up to the one named. Across the runs: the median [range] of each run's median residual "
            "tSNR, its median tSNR gain and adjusted-R<sup>2</sup> gain over the model before, the share of its voxels "
            "whose F for the addition passes p &lt; 0.05 after Benjamini&ndash;Hochberg, the columns it adds, the "
            "share of voxels where it has the lowest BIC, and its motion dependence: the correlation across runs of "
            "the mean framewise displacement with the median residual tSNR.</p>\n"
            "<table id=\"models\"><tr><th>model</th><th>columns added</th><th>median tSNR</th><th>tSNR gain (%)</th>"
            "<th>R<sup>2</sup><sub>adj</sub> gain</th><th>F significant</th><th>BIC wins</th><th>r(FD, tSNR)</th>"
            "<th>votes</th></tr>\n";
    const auto spread = [](std::vector<double> v, int decimals, double scale) {
        std::vector<double> finite;
        for (double x : v)
            if (std::isfinite(x)) finite.push_back(x * scale);
        if (finite.empty()) return std::string("n/a");
        const auto [lo, hi] = std::minmax_element(finite.begin(), finite.end());
        return shown(models::median(finite), decimals) + " [" + shown(*lo, decimals) + ", " + shown(*hi, decimals) + "]";
    };
    for (const std::string& model : order) {
        std::vector<double> added, tsnr, gain, r2, f, wins, fd;
        for (const Row& r : rows) {
            if (r.cells[0] != model) continue;
            added.push_back(number(r.cells[column("columns_added")]));
            tsnr.push_back(number(r.cells[column("median_tsnr")]));
            gain.push_back(number(r.cells[column("median_tsnr_gain_percent")]));
            r2.push_back(number(r.cells[column("median_r2adj_gain")]));
            f.push_back(number(r.cells[column("share_f_significant")]));
            wins.push_back(number(r.cells[column("share_bic_wins")]));
            fd.push_back(number(r.cells[column("mean_fd")]));
        }
        html << "<tr" << (model == choice ? " class=\"chosen\"" : "") << "><td>" << host::markupEscape(model) << "</td><td>"
             << spread(added, 0, 1) << "</td><td>" << spread(tsnr, 1, 1) << "</td><td>" << spread(gain, 1, 1) << "</td><td>"
             << spread(r2, 4, 1) << "</td><td>" << spread(f, 1, 100) << " %</td><td>" << spread(wins, 1, 100)
             << " %</td><td>" << shown(correlation(fd, tsnr), 2) << "</td><td>" << votes[model] << "</td></tr>\n";
    }
    html << "</table>\n<p class=\"rule\">" << host::markupEscape(kModelChoiceRule) << "</p>\n<p id=\"model-choice\">Choice: <b>"
         << host::markupEscape(choice) << "</b>, with " << votes[choice] << " of " << vote.size() << " runs.</p>\n";
    if (disagreeing.empty()) {
        html << "<p>No run disagrees.</p>\n";
    } else {
        html << "<p>Runs that prefer another model:</p>\n<ul>";
        for (const std::string& run : disagreeing)
            html << "<li>" << host::markupEscape(run) << ": " << host::markupEscape(vote[run]) << "</li>";
        html << "</ul>\n";
    }
    html << "</section>\n";
    g.section = html.str();
    return g;
}

} // namespace tool::bids
