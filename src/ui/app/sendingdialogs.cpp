#include "sendingdialogs.h"

#include "project/project.h"
#include "sending/resultfiles.h"
#include "sending/sendingrun.h"
#include "ui/schedule/schedule.h"
#include "ui/sending/deleteform.h"
#include "ui/sending/logs.h"
#include "ui/sending/postsrv.h"
#include "ui/sending/saveform.h"

namespace varnholt {

namespace {

bool saveAs(TPostSrv &w)
{
    return SaveResults(w.run().results(), w.project().table(), w.project().delimiter(), &w);
}

bool deleteRows(TPostSrv &w)
{
    DeleteDialogSettings &settings = deleteDialogSettings();
    if (!ShowDeleteForm(settings, &w))
        return false;
    // The rows go from a copy of the results and from the list together;
    // the run then takes the copy over, so both stay row for row alike.
    ResultTable results = w.run().results();
    const int removed = deleteFromList(w.project().table(), results, settings.choice, settings.codeSet);
    if (removed == 0)
        return false;
    w.run().restoreResults(results);
    w.project().setModified(true);
    return true;
}

void viewLog(TPostSrv &w, const QString &logFile)
{
    const SendingRun &run = w.run();
    ShowLogs(logFile, run.text(stOk), run.text(stNo), &w);
}

bool schedule(TPostSrv &w)
{
    return ShowSchedule(w.project().settingsFile(), w.run().task(), w.run().series(), &w);
}

} // namespace

void installSendingDialogs()
{
    TPostSrv::setDialogs({saveAs, deleteRows, viewLog, schedule});
}

} // namespace varnholt
