import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import javax.xml.XMLConstants;
import javax.xml.parsers.DocumentBuilder;
import javax.xml.parsers.DocumentBuilderFactory;
import org.w3c.dom.Document;
import org.w3c.dom.Element;
import org.w3c.dom.Node;
import org.xml.sax.ErrorHandler;
import org.xml.sax.SAXParseException;

/**
 * Checks the POMs and maven-metadata.xml files of the release's Maven
 * repository as a build tool reads them: each must be well-formed XML (a
 * strict parser: any error or warning, and any DOCTYPE, refuses the file), and
 * name exactly the coordinates, packaging and dependencies the release means.
 * Every .pom and maven-metadata.xml under the repository is parsed, also ones
 * it does not expect (those are reported). Prints one line per problem and
 * exits 1 when there is one.
 * Usage: java MavenRepoCheck.java MAVEN_DIR VERSION
 */
public final class MavenRepoCheck {
    private static final String GROUP = "vardel.tarnwick";
    private static final String POM_NS = "http://maven.apache.org/POM/4.0.0";

    private final Path repo;
    private final String version;
    private final List<String> problems = new ArrayList<>();

    private MavenRepoCheck(Path repo, String version) {
        this.repo = repo;
        this.version = version;
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 2) {
            System.err.println("usage: java MavenRepoCheck.java MAVEN_DIR VERSION");
            System.exit(2);
        }
        MavenRepoCheck check = new MavenRepoCheck(Path.of(args[0]), args[1]);
        int files = check.run();
        for (String problem : check.problems) {
            System.out.println("FAIL: maven/" + problem);
        }
        if (!check.problems.isEmpty()) {
            System.exit(1);
        }
        System.out.println("OK: " + files + " POMs and metadata files are well-formed and as intended");
    }

    private int run() throws Exception {
        String group = GROUP.replace('.', '/');
        // What each file must be: a POM's packaging and dependency, or metadata.
        Map<String, String[]> expected = new TreeMap<>();
        expected.put(group + "/tarnwick-extractor/" + version + "/tarnwick-extractor-" + version + ".pom",
                new String[] {"tarnwick-extractor", "jar", null});
        expected.put(group + "/tarnwick-natives/" + version + "/tarnwick-natives-" + version + ".pom",
                new String[] {"tarnwick-natives", "pom", "tarnwick-extractor"});
        expected.put(group + "/tarnwick-extractor/maven-metadata.xml", new String[] {"tarnwick-extractor"});
        expected.put(group + "/tarnwick-natives/maven-metadata.xml", new String[] {"tarnwick-natives"});

        List<Path> found;
        try (Stream<Path> walk = Files.walk(repo)) {
            found = walk.filter(Files::isRegularFile)
                    .filter(p -> p.toString().endsWith(".pom") || p.getFileName().toString().equals("maven-metadata.xml"))
                    .sorted()
                    .collect(Collectors.toList());
        }
        for (Path file : found) {
            String name = repo.relativize(file).toString().replace('\\', '/');
            Document document = parse(file, name);
            String[] what = expected.remove(name);
            if (what == null) {
                problems.add(name + ": not a file of this release");
            } else if (document != null && what.length == 3) {
                checkPom(name, document.getDocumentElement(), what[0], what[1], what[2]);
            } else if (document != null) {
                checkMetadata(name, document.getDocumentElement(), what[0]);
            }
        }
        for (String missing : expected.keySet()) {
            problems.add(missing + ": missing");
        }
        return found.size();
    }

    private Document parse(Path file, String name) throws Exception {
        DocumentBuilderFactory factory = DocumentBuilderFactory.newInstance();
        factory.setNamespaceAware(true);
        factory.setFeature("http://apache.org/xml/features/disallow-doctype-decl", true);
        factory.setFeature(XMLConstants.FEATURE_SECURE_PROCESSING, true);
        factory.setExpandEntityReferences(false);
        DocumentBuilder builder = factory.newDocumentBuilder();
        builder.setErrorHandler(new ErrorHandler() {
            @Override
            public void warning(SAXParseException e) throws SAXParseException {
                throw e;
            }

            @Override
            public void error(SAXParseException e) throws SAXParseException {
                throw e;
            }

            @Override
            public void fatalError(SAXParseException e) throws SAXParseException {
                throw e;
            }
        });
        try {
            return builder.parse(file.toFile());
        } catch (SAXParseException e) {
            problems.add(name + ": not well-formed XML: line " + e.getLineNumber() + ", column "
                    + e.getColumnNumber() + ": " + e.getMessage());
        } catch (IOException e) {
            problems.add(name + ": unreadable: " + e);
        }
        return null;
    }

    private void checkPom(String name, Element project, String artifact, String packaging, String dependency) {
        if (!"project".equals(project.getLocalName()) || !POM_NS.equals(project.getNamespaceURI())) {
            problems.add(name + ": the root element is not a POM 4.0.0 <project>");
            return;
        }
        List<String> order = new ArrayList<>(List.of(
                "modelVersion", "groupId", "artifactId", "version", "packaging", "name", "description"));
        if (dependency != null) {
            order.add("dependencies");
        }
        same(name, "the elements of <project>", String.join(" ", order), String.join(" ", names(project)));
        same(name, "modelVersion", "4.0.0", text(project, "modelVersion"));
        same(name, "groupId", GROUP, text(project, "groupId"));
        same(name, "artifactId", artifact, text(project, "artifactId"));
        same(name, "version", version, text(project, "version"));
        same(name, "packaging", packaging, text(project, "packaging"));
        for (String prose : List.of("name", "description")) {
            if (text(project, prose).isBlank()) {
                problems.add(name + ": no " + prose);
            }
        }
        List<String> dependencies = new ArrayList<>();
        Element list = child(project, "dependencies");
        if (list != null) {
            for (Element d : children(list)) {
                dependencies.add(d.getLocalName() + ":" + names(d).stream()
                        .map(n -> n + "=" + text(d, n))
                        .collect(Collectors.joining(",")));
            }
        }
        String intended = dependency == null
                ? ""
                : "dependency:groupId=" + GROUP + ",artifactId=" + dependency + ",version=" + version;
        same(name, "dependencies", intended, String.join(" ", dependencies));
    }

    private void checkMetadata(String name, Element metadata, String artifact) {
        if (!"metadata".equals(metadata.getLocalName()) || metadata.getNamespaceURI() != null) {
            problems.add(name + ": the root element is not <metadata>");
            return;
        }
        same(name, "the elements of <metadata>", "groupId artifactId versioning", String.join(" ", names(metadata)));
        same(name, "groupId", GROUP, text(metadata, "groupId"));
        same(name, "artifactId", artifact, text(metadata, "artifactId"));
        Element versioning = child(metadata, "versioning");
        if (versioning == null) {
            return;
        }
        same(name, "the elements of <versioning>", "latest release versions lastUpdated",
                String.join(" ", names(versioning)));
        same(name, "latest", version, text(versioning, "latest"));
        same(name, "release", version, text(versioning, "release"));
        Element versions = child(versioning, "versions");
        List<String> listed = new ArrayList<>();
        if (versions != null) {
            for (Element v : children(versions)) {
                listed.add(v.getLocalName() + "=" + v.getTextContent());
            }
        }
        same(name, "versions", "version=" + version, String.join(" ", listed));
        if (!text(versioning, "lastUpdated").matches("[0-9]{14}")) {
            problems.add(name + ": lastUpdated is not yyyyMMddHHmmss: " + text(versioning, "lastUpdated"));
        }
    }

    private void same(String name, String what, String intended, String actual) {
        if (!intended.equals(actual)) {
            problems.add(name + ": " + what + " is \"" + actual + "\", not \"" + intended + "\"");
        }
    }

    private static List<Element> children(Element parent) {
        List<Element> out = new ArrayList<>();
        for (Node n = parent.getFirstChild(); n != null; n = n.getNextSibling()) {
            if (n instanceof Element) {
                out.add((Element) n);
            }
        }
        return out;
    }

    private static List<String> names(Element parent) {
        return children(parent).stream().map(Node::getLocalName).collect(Collectors.toList());
    }

    private static Element child(Element parent, String name) {
        return children(parent).stream().filter(e -> name.equals(e.getLocalName())).findFirst().orElse(null);
    }

    /** The text of the first child element NAME, exactly as written, or "" when there is none. */
    private static String text(Element parent, String name) {
        Element e = child(parent, name);
        return e == null ? "" : e.getTextContent();
    }
}
