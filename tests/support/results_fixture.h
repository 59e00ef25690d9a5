// A common block as set-up leaves it, with an output layer to define tables
// on, STRATA and GROUP= variables on demand, and readers for what the
// definers made.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "common/strata.h"
#include "frame/parse.h"
#include "host/output/layer.h"
#include "results/results.h"
#include "runtime/wobmth.h"
#include "support/wob_setup.h"
#include "vyr_data.h"
#include "vyr_output.h"

struct ResultsFixture : ::testing::Test {
    KORVCOM q{};
    std::deque<NAMESTR> descriptors;
    std::deque<std::string> texts;
    SNAMESTR sname[4]{};
    varstring snameText[4]{};
    std::vector<char> value, buff;
    GRPVAR grp{};
    std::vector<char> grpValue;
    CMPRISK cmp{};
    SMOOTHED sm{};
    SURVDIFF sd{};
    CNAMES cn[4]{};
    NAMESTR* ids[4]{};
    std::vector<char> idval;

    void SetUp() override
    {
        newStep();
        q.zprint = 1;
        q.alpha = 0.05;
        q.qtalpha = 0.05;
        q.ktype = 8 | 16 | 512; // log-rank, Wilcoxon, likelihood ratio
        q.sname = sname;
        q.c = cn;
        q.idptr = ids;
        q.timename = text("Days");
        q.timelabel = text("Days on Study");
    }
    // A fresh step document with its root and manager (the objects of the
    // previous one are gone).
    void newStep()
    {
        vdq::takeCurrentStep();
        q.vdq = wobtest::manager();
    }
    void TearDown() override { vdq::takeCurrentStep(); }

    varstring text(const std::string& s)
    {
        texts.push_back(s);
        varstring v{};
        v.l = static_cast<int64_t>(texts.back().size());
        v.s = texts.back().data();
        return v;
    }

    NAMESTR* descriptor(const std::string& name, bool numeric, int length,
                        const std::string& label = "")
    {
        descriptors.emplace_back();
        NAMESTR* nm = &descriptors.back();
        xvnamei(nm);
        texts.push_back(name);
        nm->name_p = texts.back().data();
        nm->namelen = static_cast<short>(name.size());
        if (!label.empty()) {
            texts.push_back(label);
            nm->label_p = texts.back().data();
            nm->nlablen = static_cast<short>(label.size());
        }
        nm->ntype = numeric ? 1 : 2;
        nm->nlng = static_cast<short>(numeric ? 8 : length);
        nm->nflen = static_cast<short>(numeric ? 8 : length);
        return nm;
    }

    // A STRATA variable: formatted length `lngf`, raw length 8 (numeric) or
    // `length`; `cuts` cut points.
    void addStrata(const std::string& name, bool numeric, int length, int lngf, int cuts = 0,
                   const std::string& label = "")
    {
        int k = q.nsvar++;
        SNAMESTR& s = sname[k];
        s.nm = descriptor(name, numeric, length, label);
        snameText[k] = text(name);
        s.name = &snameText[k];
        s.type = numeric ? 1 : 2;
        s.lngu = static_cast<short>(numeric ? 8 : length);
        s.lngf = static_cast<short>(lngf);
        s.cutnum = static_cast<short>(cuts);
        q.slenf = q.slenu = 0;
        for (int i = 0; i < q.nsvar; ++i) {
            sname[i].posf = static_cast<short>(q.slenf);
            q.slenf += sname[i].lngf;
        }
        for (int i = 0; i < q.nsvar; ++i) {
            sname[i].posu = static_cast<short>(q.slenu);
            q.slenu += sname[i].lngu;
        }
        value.assign(static_cast<size_t>(q.slenf + q.slenu), ' ');
        buff.assign(static_cast<size_t>(q.slenu), ' ');
        q.value = value.data();
        q.buff = buff.data();
        q.zstrata = 1;
    }

    void setGroup(const std::string& name, bool numeric, int lenf, int lenu)
    {
        grp.nm = descriptor(name, numeric, lenu);
        grp.lenf = lenf;
        grp.lenu = lenu;
        grpValue.assign(static_cast<size_t>(lenf + lenu), ' ');
        grp.value = grpValue.data();
        q.grpvar = &grp;
    }

    void addTestVariable(const std::string& name)
    {
        int i = q.ncvar++;
        cn[i].nm = descriptor(name, true, 8);
        q.cnamlen = std::max<int>(q.cnamlen, static_cast<int>(name.size()));
        if (!q.buffy) {
            static double scores[4];
            q.buffy = scores;
        }
    }

    void addId(const std::string& name, bool numeric, int length)
    {
        ids[q.nid++] = descriptor(name, numeric, length);
        q.idlen += numeric ? 8 : length;
        idval.assign(static_cast<size_t>(q.idlen), ' ');
        q.idval = idval.data();
    }

    vdq::DataInfo info(xobop t)
    {
        vdq::DataInfo d;
        EXPECT_TRUE(vdq::dataInfo(t, d));
        return d;
    }

    std::vector<std::string> columns(xobop t)
    {
        std::vector<std::string> v;
        for (const vdq::Column& c : info(t).columns)
            v.push_back(c.name);
        return v;
    }

    const vdq::Column* column(xobop t, const std::string& name, const void** address = nullptr)
    {
        static vdq::DataInfo keep;
        keep = info(t);
        for (size_t i = 0; i < keep.columns.size(); ++i)
            if (keep.columns[i].name == name) {
                if (address)
                    *address = keep.addresses[i];
                return &keep.columns[i];
            }
        return nullptr;
    }

    // Where the column's values are read from.
    const void* address(xobop t, const std::string& name)
    {
        const void* a = nullptr;
        EXPECT_NE(column(t, name, &a), nullptr) << name;
        return a;
    }

    // Handles of every table field of the common block that is set, by name.
    std::vector<std::string> defined()
    {
        std::vector<std::string> v;
        for (xobop t :
             {q.Surv, q.Quantile, q.Mean, q.Summary, q.HomStat, q.HomTest, q.UniChiW, q.UniChiL,
              q.StepW, q.StepL, q.Legend, q.Phantom, q.survdiff ? q.survdiff->data : nullptr,
              q.kmhaz ? q.kmhaz->mise : nullptr, q.kmhaz ? q.kmhaz->data : nullptr})
            if (t)
                v.push_back(info(t).name);
        return v;
    }
};

using Names = std::vector<std::string>;
