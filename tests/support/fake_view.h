// The dialog's controls, timers and boxes as plain data, for the tests of the code that drives
// the dialog: the start-up and the update sequencer. Behaves as the Windows controls do where it
// matters (a selection outside the rows selects none); records what happened in order.
#pragma once

#include "app/updater_view.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace test_support {

class FakeView : public IUpdaterView {
public:
    std::map<int, std::string> text;
    std::map<int, bool> shown, enabled;
    std::map<int, std::vector<std::string>> rows;
    std::map<int, int> selection;
    int progressLower = -1, progressUpper = -1, progressPos = -1;
    int radio = 0;  // the checked radio button: 0 keep, 1 erase
    int exchanges = 0;
    std::map<unsigned, unsigned> timers;  // running timers and their periods
    struct Box {
        std::string text, caption;  // caption "" for the application box
    };
    std::vector<Box> boxes;
    std::vector<std::string> log;  // texts, boxes and timers in the order they happened
    int repaints = 0;
    bool closed = false;
    std::vector<bool> answers;         // what the user answers to the yes/no boxes, in turn
    const uint32_t* clock = nullptr;   // the fake tick count, for the timers' due times
    std::map<unsigned, uint32_t> due;  // when each running timer fires

    void SetItemText(int nID, const CString& s) override
    {
        text[nID] = s.GetString();
        log.push_back("text " + std::to_string(nID) + " " + s.GetString());
    }
    void ShowItem(int nID, bool bShow) override { shown[nID] = bShow; }
    void EnableItem(int nID, bool bEnable) override { enabled[nID] = bEnable; }
    int AddListRow(int nID, const CString& s) override
    {
        rows[nID].push_back(s.GetString());
        return int(rows[nID].size()) - 1;
    }
    int GetListCount(int nID) const override
    {
        auto it = rows.find(nID);
        return it == rows.end() ? 0 : int(it->second.size());
    }
    int GetListSelection(int nID) const override
    {
        auto it = selection.find(nID);
        return it == selection.end() ? -1 : it->second;
    }
    void SetListSelection(int nID, int nRow) override
    {
        selection[nID] = nRow >= 0 && nRow < GetListCount(nID) ? nRow : -1;
        log.push_back("select " + std::to_string(nID) + " " + std::to_string(nRow));
    }
    CString GetListRow(int nID, int nRow) const override
    {
        auto it = rows.find(nID);
        return it != rows.end() && nRow >= 0 && nRow < int(it->second.size())
                   ? CString(it->second[size_t(nRow)].c_str())
                   : CString();
    }
    void SetProgressRange(int lo, int hi) override { progressLower = lo, progressUpper = hi; }
    void SetProgressPos(int pos) override { progressPos = pos; }
    int ExchangeUserPositions(bool) override
    {
        ++exchanges;
        return radio;
    }
    void StartTimer(unsigned id, unsigned ms) override
    {
        timers[id] = ms;
        due[id] = (clock ? *clock : 0) + ms;
        log.push_back("timer " + std::to_string(id) + " " + std::to_string(ms));
    }
    void StopTimer(unsigned id) override { timers.erase(id); }
    void Repaint() override { ++repaints; }
    CSize GetClientSize() const override { return CSize(485, 530); }
    void ShowMessage(const CString& t, const CString& c) override
    {
        boxes.push_back({t.GetString(), c.GetString()});
        log.push_back("box " + std::string(t.GetString()));
    }
    void ShowAppMessage(const CString& t) override
    {
        boxes.push_back({t.GetString(), ""});
        log.push_back("box " + std::string(t.GetString()));
    }
    bool AskYesNo(const CString& t, const CString& c) override
    {
        boxes.push_back({t.GetString(), c.GetString()});
        log.push_back("ask " + std::string(t.GetString()));
        bool yes = !answers.empty() && answers.front();
        if (!answers.empty())
            answers.erase(answers.begin());
        return yes;
    }
    void CloseDialog() override { closed = true; }

    // A control never hidden is shown, as a dialog's controls are.
    bool IsShown(int nID) const
    {
        auto it = shown.find(nID);
        return it == shown.end() || it->second;
    }
    // How many entries of the log begin with prefix ("select ", "box "...).
    int Count(const std::string& prefix) const
    {
        int n = 0;
        for (const std::string& line : log)
            n += line.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
};

}  // namespace test_support
