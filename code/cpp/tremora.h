// The plug-in: its seven plain exports, the plug-in object with its task
// dispatch and tasks, and the log stream into the host's log pane.
#pragma once

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "TMZRPluginInterface.h"

class SDM;

// An output stream whose text reaches the host when it is flushed: each flush
// hands everything written since the previous flush to the output function in
// one call (also when nothing was written).
class TMZRLog : public std::ostream {
public:
    class TMZRBuf : public std::stringbuf {
    public:
        explicit TMZRBuf(void (*output)(const char*));
        ~TMZRBuf() override;

    protected:
        int sync() override;

    private:
        void (*output_)(const char*);
    };

    explicit TMZRLog(void (*output)(const char*));
    ~TMZRLog() override;
};

// The plug-in object the host creates with createPlugin and drives through
// initPlugin and execute.
class tremora : public TMZRPluginInterface {
public:
    tremora() = default;
    ~tremora() override;
    bool execute() override;
    bool initPlugin() override;

    // Tasks, selected by the script parameter "task".
    void select_3dmcsdm();
    void calculate_displacement();
    void create_confounds();

    // The motion SDMs named by a path: one SDM, every SDM an MDM lists, or none.
    std::vector<SDM> get_3dmcsdms(std::string fileName);

private:
    std::unique_ptr<TMZRLog> log_;
};

extern "C" {
TMZRPluginInterface* createPlugin();
const char* getPluginName();
const char* getPluginDescription();
const char* getAuthor();
const char* getHelpFile();
const char* getPluginVersion();
const char* getGUIScript();
}
