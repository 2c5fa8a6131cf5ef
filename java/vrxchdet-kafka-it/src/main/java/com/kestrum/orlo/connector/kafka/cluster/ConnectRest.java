package com.kestrum.orlo.connector.kafka.cluster;

import com.fasterxml.jackson.core.JsonProcessingException;
import com.fasterxml.jackson.databind.JsonNode;
import com.fasterxml.jackson.databind.ObjectMapper;
import com.fasterxml.jackson.databind.node.MissingNode;
import java.io.IOException;
import java.net.URI;
import java.net.URLEncoder;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * A client of a Connect worker's REST API: connector configurations and their validation, statuses, stop and
 * resume, offsets, deletion. A request the worker answers with 409 (a rebalance in progress) is sent again
 * for up to {@link #RETRY_BOUND}; any other answer outside 2xx throws {@link RestException}.
 */
public final class ConnectRest {
    /** How long a request answered with 409 is tried again. */
    public static final Duration RETRY_BOUND = Duration.ofSeconds(60);
    private static final Duration REQUEST_TIMEOUT = Duration.ofSeconds(90);

    private final URI base;
    private final HttpClient http = HttpClient.newBuilder().connectTimeout(Duration.ofSeconds(5)).build();
    private final ObjectMapper json = new ObjectMapper();

    /**
     * A client of the worker at {@code base}.
     *
     * @param base the worker's REST address, {@code http://HOST:PORT}
     */
    public ConnectRest(URI base) {
        this.base = base;
    }

    /**
     * The worker's REST address.
     *
     * @return {@code http://HOST:PORT}
     */
    public URI base() {
        return base;
    }

    /**
     * Whether the worker answers {@code GET /health} with 200 (it has joined its group and is ready).
     *
     * @return true when it does
     */
    public boolean healthy() {
        try {
            HttpResponse<String> answer = http.send(request("/health").timeout(Duration.ofSeconds(5)).GET().build(),
                                                    HttpResponse.BodyHandlers.ofString());
            return answer.statusCode() == 200;
        } catch (IOException notYet) {
            return false;
        } catch (InterruptedException interrupted) {
            Thread.currentThread().interrupt();
            return false;
        }
    }

    /**
     * Creates a connector or replaces its configuration: {@code PUT /connectors/NAME/config}.
     *
     * @param name   the connector
     * @param config its configuration, {@code connector.class} included
     * @return the worker's answer: the connector's name, configuration and tasks
     * @throws IOException          when the worker cannot be reached or refuses the configuration
     * @throws InterruptedException when interrupted
     */
    public JsonNode putConfig(String name, Map<String, String> config) throws IOException, InterruptedException {
        return send("PUT", "/connectors/" + encode(name) + "/config", config);
    }

    /**
     * Validates a configuration: {@code PUT /connector-plugins/CLASS/config/validate}.
     *
     * @param connectorClass the connector's class name
     * @param config         the configuration ({@code connector.class} is added)
     * @return the answer: {@code error_count} and each key's value with its {@code errors}
     * @throws IOException          when the worker cannot be reached or does not know the class
     * @throws InterruptedException when interrupted
     */
    public JsonNode validate(String connectorClass, Map<String, String> config) throws IOException, InterruptedException {
        Map<String, String> withClass = new java.util.HashMap<>(config);
        withClass.put("connector.class", connectorClass);
        return send("PUT", "/connector-plugins/" + encode(connectorClass) + "/config/validate", withClass);
    }

    /**
     * A connector's status and its tasks': {@code GET /connectors/NAME/status}.
     *
     * @param name the connector
     * @return the status: {@code connector.state}, and for each task {@code id}, {@code state}, {@code worker_id}
     *     and, when it failed, {@code trace}
     * @throws IOException          when the worker cannot be reached or does not know the connector
     * @throws InterruptedException when interrupted
     */
    public JsonNode status(String name) throws IOException, InterruptedException {
        return send("GET", "/connectors/" + encode(name) + "/status", null);
    }

    /**
     * The trace of a failed task.
     *
     * @param name the connector
     * @param task the task's number
     * @return the trace, or null when the task has none
     * @throws IOException          when the worker cannot be reached
     * @throws InterruptedException when interrupted
     */
    public String taskTrace(String name, int task) throws IOException, InterruptedException {
        for (JsonNode each : status(name).path("tasks")) {
            if (each.path("id").asInt() == task && each.has("trace")) {
                return each.path("trace").asText();
            }
        }
        return null;
    }

    /**
     * Stops a connector and its tasks, keeping its configuration: {@code PUT /connectors/NAME/stop}.
     *
     * @param name the connector
     * @throws IOException          when the worker cannot be reached or refuses
     * @throws InterruptedException when interrupted
     */
    public void stop(String name) throws IOException, InterruptedException {
        send("PUT", "/connectors/" + encode(name) + "/stop", null);
    }

    /**
     * Resumes a stopped or paused connector: {@code PUT /connectors/NAME/resume}.
     *
     * @param name the connector
     * @throws IOException          when the worker cannot be reached or refuses
     * @throws InterruptedException when interrupted
     */
    public void resume(String name) throws IOException, InterruptedException {
        send("PUT", "/connectors/" + encode(name) + "/resume", null);
    }

    /**
     * A connector's committed offsets: {@code GET /connectors/NAME/offsets}.
     *
     * @param name the connector
     * @return {@code {"offsets": [{"partition": ..., "offset": ...}, ...]}}
     * @throws IOException          when the worker cannot be reached or refuses
     * @throws InterruptedException when interrupted
     */
    public JsonNode offsets(String name) throws IOException, InterruptedException {
        return send("GET", "/connectors/" + encode(name) + "/offsets", null);
    }

    /**
     * Alters a stopped connector's offsets: {@code PATCH /connectors/NAME/offsets}.
     *
     * @param name    the connector
     * @param offsets {@code {"offsets": [{"partition": ..., "offset": ...}, ...]}}, an offset null to remove it
     * @return the worker's answer, a message
     * @throws IOException          when the worker cannot be reached or refuses the offsets
     * @throws InterruptedException when interrupted
     */
    public JsonNode patchOffsets(String name, JsonNode offsets) throws IOException, InterruptedException {
        return send("PATCH", "/connectors/" + encode(name) + "/offsets", offsets);
    }

    /**
     * Deletes a connector: {@code DELETE /connectors/NAME}.
     *
     * @param name the connector
     * @throws IOException          when the worker cannot be reached or refuses
     * @throws InterruptedException when interrupted
     */
    public void delete(String name) throws IOException, InterruptedException {
        send("DELETE", "/connectors/" + encode(name), null);
    }

    /**
     * Waits until the connector runs with {@code tasks} tasks, all running.
     *
     * @param name  the connector
     * @param tasks how many tasks
     * @param bound how long to wait at most
     * @return the status that showed them running
     * @throws IOException          when the worker cannot be reached
     * @throws InterruptedException when interrupted
     * @throws IllegalStateException when the bound passed, with the last status (and so any task's trace)
     */
    public JsonNode awaitRunning(String name, int tasks, Duration bound) throws IOException, InterruptedException {
        long giveUp = System.nanoTime() + bound.toNanos();
        JsonNode status = MissingNode.getInstance();
        while (true) {
            try {
                status = status(name);
                if (running(status, tasks)) {
                    return status;
                }
            } catch (RestException notYet) {
                if (notYet.status() != 404) {
                    throw notYet;
                }
            }
            if (System.nanoTime() - giveUp > 0) {
                throw new IllegalStateException("waited " + bound.toSeconds() + " s for " + name + " to run with " + tasks
                                                + " running tasks on " + base + "; last status: " + status);
            }
            TimeUnit.MILLISECONDS.sleep(250);
        }
    }

    private static boolean running(JsonNode status, int tasks) {
        if (!"RUNNING".equals(status.path("connector").path("state").asText()) || status.path("tasks").size() != tasks) {
            return false;
        }
        for (JsonNode task : status.path("tasks")) {
            if (!"RUNNING".equals(task.path("state").asText())) {
                return false;
            }
        }
        return true;
    }

    private JsonNode send(String method, String path, Object body) throws IOException, InterruptedException {
        long giveUp = System.nanoTime() + RETRY_BOUND.toNanos();
        while (true) {
            HttpRequest.BodyPublisher publisher = body == null ? HttpRequest.BodyPublishers.noBody()
                : HttpRequest.BodyPublishers.ofString(json.writeValueAsString(body), StandardCharsets.UTF_8);
            HttpRequest request = request(path).timeout(REQUEST_TIMEOUT).header("Content-Type", "application/json")
                .method(method, publisher).build();
            HttpResponse<String> answer = http.send(request, HttpResponse.BodyHandlers.ofString());
            int status = answer.statusCode();
            if (status / 100 == 2) {
                return answer.body().isEmpty() ? MissingNode.getInstance() : parse(answer.body());
            }
            if (status != 409 || System.nanoTime() - giveUp > 0) {
                throw new RestException(method + " " + base + path + " answered " + status + ": " + answer.body(), status);
            }
            TimeUnit.MILLISECONDS.sleep(500);
        }
    }

    private JsonNode parse(String body) throws JsonProcessingException {
        return json.readTree(body);
    }

    private HttpRequest.Builder request(String path) {
        return HttpRequest.newBuilder(base.resolve(path));
    }

    private static String encode(String segment) {
        return URLEncoder.encode(segment, StandardCharsets.UTF_8).replace("+", "%20");
    }

    /** A REST answer outside 2xx. */
    public static final class RestException extends IOException {
        private static final long serialVersionUID = 1L;
        /** The HTTP status. */
        private final int status;

        /**
         * An answer.
         *
         * @param message the request, the status and the body
         * @param status  the HTTP status
         */
        public RestException(String message, int status) {
            super(message);
            this.status = status;
        }

        /**
         * The HTTP status.
         *
         * @return the status
         */
        public int status() {
            return status;
        }
    }
}
